// The watch used beyond one platform wait: which form it takes for which children, and
// what news it gives: none while nothing ends, an ended child's slot once its handle shows
// the end, and a look at every child where a message may have been lost.
#include "end_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

enum class Form { kJob, kThreadPool };

constexpr DWORD kAll = PROCESS_ALL_ACCESS;
constexpr DWORD kSynchronize = SYNCHRONIZE;  // too little to put the process into a job
constexpr DWORD kLookAtAllEvery = 10000;
constexpr DWORD kQuietFor = 300;

// Test children in slots 1 and up (slot 0 stays empty, as the program's name), each
// ending when its own event is set.
struct WatchedChildren {
    WatchedChildren(const ScratchFolder& folder, const std::vector<DWORD>& access) {
        slots.push_back(nullptr);
        for (DWORD rights : access) {
            const NamedEvent& end = ends.emplace_back();
            slots.push_back(start_test_child(folder, L"--wait-event " + end.name, rights));
        }
    }
    // Waits for the children's ends: a child that opened its event only after the event
    // was gone would wait a minute on one of its own.
    ~WatchedChildren() {
        for (size_t slot = 1; slot < slots.size(); ++slot) {
            end(static_cast<int>(slot));
            if (slots[slot] != nullptr) {
                WaitForSingleObject(slots[slot], 10000);
                CloseHandle(slots[slot]);
            }
        }
    }
    WatchedChildren(const WatchedChildren&) = delete;
    WatchedChildren& operator=(const WatchedChildren&) = delete;

    bool all_started() const { return std::count(slots.begin() + 1, slots.end(), nullptr) == 0; }
    ChildTable table() { return ChildTable{slots.data(), static_cast<int>(slots.size())}; }
    void end(int slot) { SetEvent(ends[slot - 1].handle); }
    // What the wait does once it has reported the child in slot.
    void forget(EndWatch* watch, int slot) {
        stop_watching_child(watch, slot);
        CloseHandle(slots[slot]);
        slots[slot] = nullptr;
    }

    std::deque<NamedEvent> ends;
    std::vector<HANDLE> slots;
};

TEST(EndWatchTest, UsesAJobUnlessALiveChildCannotJoinItAndSleepsWhileNothingEnds) {
    enum class Ending { kNone, kAllBefore, kSecondAsTheWatchStarts };
    const struct {
        const char* children;
        std::vector<DWORD> access;
        Ending ending;
        Form form;
    } cases[] = {
        {"live, able to join a job", {kAll, kAll, kAll}, Ending::kNone, Form::kJob},
        {"live, unable to join a job",
         {kSynchronize, kSynchronize, kSynchronize},
         Ending::kNone,
         Form::kThreadPool},
        {"ended, unable to join a job but with no need to",
         {kSynchronize, kSynchronize, kSynchronize},
         Ending::kAllBefore,
         Form::kJob},
        {"one unable to join, ending as the watch starts",
         {kAll, kSynchronize, kAll},
         Ending::kSecondAsTheWatchStarts,
         Form::kJob},
        {"one unable to join among able ones, live",
         {kAll, kSynchronize, kAll},
         Ending::kNone,
         Form::kThreadPool},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.children);
        ScratchFolder folder;
        // One more child lives on to the end, so that the job never runs empty: that is
        // news of its own.
        std::vector<DWORD> access = c.access;
        access.push_back(c.access.front());
        WatchedChildren children(folder, access);
        ASSERT_TRUE(children.all_started());
        const ChildTable table = children.table();
        if (c.ending == Ending::kAllBefore) {
            for (int slot = 1; slot < table.count; ++slot) {
                children.end(slot);
                WaitForSingleObject(table.slots[slot], 10000);
            }
        }
        // The child cannot join, and it ends only once the others have joined.
        std::thread ender;
        if (c.ending == Ending::kSecondAsTheWatchStarts) {
            ender = std::thread([&] {
                Sleep(100);
                children.end(2);
            });
        }
        EndWatch watch{};
        const bool started = start_end_watch(&watch, table, kLookAtAllEvery);
        if (ender.joinable()) {
            ender.join();
        }
        ASSERT_TRUE(started);
        EXPECT_EQ(watch.job != nullptr, c.form == Form::kJob);
        EXPECT_EQ(watch.anyEnded != nullptr, c.form == Form::kThreadPool);

        // Quiet while nothing ends (the joining says nothing); each end is news, naming its
        // child in the job form; then quiet again while the others live.
        std::vector<int> live;
        for (int slot = 1; slot < table.count - 1; ++slot) {
            if (WaitForSingleObject(table.slots[slot], 0) == WAIT_TIMEOUT) {
                live.push_back(slot);
            }
        }
        EXPECT_EQ(wait_for_end_news(&watch, table, kQuietFor), EndNews::kQuiet);
        for (int slot : live) {
            SCOPED_TRACE(slot);
            children.end(slot);
            const EndNews news = wait_for_end_news(&watch, table, 10000);
            if (c.form == Form::kJob) {
                EXPECT_EQ(news, EndNews::kNamed);
                int named = 0;
                EXPECT_TRUE(find_named_end(watch, table, &named));
                EXPECT_EQ(named, slot);
            } else {
                EXPECT_EQ(news, EndNews::kLookAtAll);
            }
            EXPECT_EQ(WaitForSingleObject(table.slots[slot], 0), WAIT_OBJECT_0);
            children.forget(&watch, slot);
            EXPECT_EQ(wait_for_end_news(&watch, table, kQuietFor), EndNews::kQuiet);
        }
        stop_end_watch(&watch, table.count);
        EXPECT_FALSE(end_watch_running(watch));
    }
}

// On Windows a job's message about a child's end can come before the child's handle shows
// the end; Wine posts the message and signals the handle in one step. So the message is
// posted here by hand, and the child ends a moment later. Its own message would name it
// too; giving its member an id that no process has leaves the posted message as the only
// one that names it. Whatever time-out the wait is at, the child must be named.
TEST(EndWatchTest, AnEndNamedBeforeTheHandleShowsItIsNamedOnceItDoes) {
    const DWORD timeouts[] = {3000, 5000, INFINITE};  // one for each back-off level
    ScratchFolder folder;
    WatchedChildren children(folder, {kAll, kAll, kAll, kAll});  // the last one lives on
    ASSERT_TRUE(children.all_started());
    const ChildTable table = children.table();
    EndWatch watch{};
    ASSERT_TRUE(start_end_watch(&watch, table, kLookAtAllEvery));
    ASSERT_NE(watch.job, nullptr);
    for (int slot = 1; slot <= 3; ++slot) {
        const DWORD timeout = timeouts[slot - 1];
        SCOPED_TRACE(timeout);
        const DWORD otherId = 0xFFFFFF00 + slot;
        watch.members[slot].processId = otherId;
        PostQueuedCompletionStatus(watch.port, JOB_OBJECT_MSG_EXIT_PROCESS, 0,
                                   reinterpret_cast<OVERLAPPED*>(static_cast<ULONG_PTR>(otherId)));
        std::thread ender([&] {
            Sleep(200);
            children.end(slot);
        });
        const EndNews news = wait_for_end_news(&watch, table, timeout);
        ender.join();
        EXPECT_EQ(news, EndNews::kNamed);
        int named = 0;
        EXPECT_TRUE(find_named_end(watch, table, &named));
        EXPECT_EQ(named, slot);
        children.forget(&watch, slot);
    }
    stop_end_watch(&watch, table.count);
}

// As above, messages that name a child's end are posted by hand, here in the order a row
// gives, for children that have ended already or that lag. A lagging child ends only once
// the test says, or, should the wait not have answered after 4 s (a lagging handle waited
// for), at once. It must hold up neither the other children's news nor the caller's
// time-out, and must be named once its handle shows the end; the ends a drain names are
// reported in slot order.
TEST(EndWatchTest, AHandleLaggingBehindItsEndsMessageHoldsNothingUpAndIsNamedLater) {
    constexpr DWORD kRescueAfter = 4000;
    const struct {
        const char* what;
        std::vector<int> posted;   // slots, in the order of their messages
        std::vector<int> lagging;  // those whose handles do not show the end yet, ascending
        std::vector<int> named;    // the slots the first news names, as they are reported
    } cases[] = {
        {"a lagging end alone: the time-out holds", {1}, {1}, {}},
        {"an end behind a lagging one", {1, 2}, {1}, {2}},
        {"ends of one drain in slot order, a lagging one among them", {3, 1, 2, 4}, {2}, {1, 3, 4}},
        {"two lagging ends", {2, 1}, {1, 2}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder folder;
        // The last child lives on, so that the job never runs empty.
        WatchedChildren children(folder, std::vector<DWORD>(c.posted.size() + 1, kAll));
        ASSERT_TRUE(children.all_started());
        const ChildTable table = children.table();
        EndWatch watch{};
        ASSERT_TRUE(start_end_watch(&watch, table, kLookAtAllEvery));
        ASSERT_NE(watch.job, nullptr);
        for (int slot : c.posted) {
            watch.members[slot].processId = 0xFFFFFF00 + slot;
            if (std::count(c.lagging.begin(), c.lagging.end(), slot) == 0) {
                children.end(slot);
                ASSERT_EQ(WaitForSingleObject(table.slots[slot], 10000), WAIT_OBJECT_0);
            }
        }
        for (int slot : c.posted) {
            PostQueuedCompletionStatus(watch.port, JOB_OBJECT_MSG_EXIT_PROCESS, 0,
                                       reinterpret_cast<OVERLAPPED*>(
                                           static_cast<ULONG_PTR>(watch.members[slot].processId)));
        }

        const NamedEvent answered;
        std::thread rescuer([&] {
            if (WaitForSingleObject(answered.handle, kRescueAfter) == WAIT_TIMEOUT) {
                for (int slot : c.lagging) {
                    children.end(slot);
                }
            }
        });
        const EndNews news = wait_for_end_news(&watch, table, kQuietFor);
        SetEvent(answered.handle);
        rescuer.join();
        EXPECT_EQ(news, c.named.empty() ? EndNews::kQuiet : EndNews::kNamed);
        std::vector<int> reported;
        int slot = 0;
        while (find_named_end(watch, table, &slot)) {
            EXPECT_EQ(WaitForSingleObject(table.slots[slot], 0), WAIT_OBJECT_0);
            reported.push_back(slot);
            children.forget(&watch, slot);
        }
        EXPECT_EQ(reported, c.named);

        for (int lagging : c.lagging) {
            SCOPED_TRACE(lagging);
            if (table.slots[lagging] == nullptr) {
                continue;  // named too early, which failed above
            }
            children.end(lagging);
            EXPECT_EQ(wait_for_end_news(&watch, table, 10000), EndNews::kNamed);
            EXPECT_TRUE(find_named_end(watch, table, &slot));
            EXPECT_EQ(slot, lagging);
            EXPECT_EQ(WaitForSingleObject(table.slots[lagging], 0), WAIT_OBJECT_0);
            children.forget(&watch, lagging);
        }
        stop_end_watch(&watch, table.count);
    }
}

// A port that can no longer be read (here: a handle that is no port in its place) must not
// end the wait: the thread-pool form takes over, and every child is looked at once.
TEST(EndWatchTest, APortThatCannotBeReadGivesWayToThreadPoolWaits) {
    ScratchFolder folder;
    WatchedChildren children(folder, {kAll, kAll});  // the last one lives on
    ASSERT_TRUE(children.all_started());
    const ChildTable table = children.table();
    EndWatch watch{};
    ASSERT_TRUE(start_end_watch(&watch, table, kLookAtAllEvery));
    ASSERT_NE(watch.job, nullptr);
    HANDLE port = watch.port;
    watch.port = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(watch.port, nullptr);

    EXPECT_EQ(wait_for_end_news(&watch, table, 10000), EndNews::kLookAtAll);
    EXPECT_EQ(watch.job, nullptr);
    EXPECT_NE(watch.anyEnded, nullptr);
    EXPECT_EQ(wait_for_end_news(&watch, table, kQuietFor), EndNews::kQuiet);
    children.end(1);
    EXPECT_EQ(wait_for_end_news(&watch, table, 10000), EndNews::kLookAtAll);
    stop_end_watch(&watch, table.count);
    CloseHandle(port);
}

// Taking a child's messages off the port stands in for a message the platform lost. However
// long the caller would wait, the watch must ask for a look at every child, which finds the
// end. Should it not, the other child's end brings news after a while.
TEST(EndWatchTest, ALostMessageIsMadeUpForByALookAtEveryChild) {
    constexpr DWORD kShortLookAtAllEvery = 300;
    ScratchFolder folder;
    WatchedChildren children(folder, {kAll, kAll, kAll});  // the last one lives on
    ASSERT_TRUE(children.all_started());
    const ChildTable table = children.table();
    EndWatch watch{};
    ASSERT_TRUE(start_end_watch(&watch, table, kShortLookAtAllEvery));
    ASSERT_NE(watch.job, nullptr);
    children.end(1);
    ASSERT_EQ(WaitForSingleObject(table.slots[1], 10000), WAIT_OBJECT_0);
    OVERLAPPED_ENTRY messages[16];
    ULONG taken = 0;
    while (GetQueuedCompletionStatusEx(watch.port, messages, 16, &taken, 200, FALSE) != FALSE) {
    }

    const NamedEvent answered;
    std::thread rescuer([&] {
        if (WaitForSingleObject(answered.handle, 5000) == WAIT_TIMEOUT) {
            children.end(2);
        }
    });
    const EndNews news = wait_for_end_news(&watch, table, INFINITE);
    SetEvent(answered.handle);
    rescuer.join();
    EXPECT_EQ(news, EndNews::kLookAtAll);
    stop_end_watch(&watch, table.count);
}

}  // namespace
