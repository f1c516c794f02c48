// The watch used beyond one platform wait, with events standing in for children: an event
// that is set is a child that has ended. Posts are made by hand where a test needs to know
// what the port holds before the watch reads it; the thread-pool waits post the same slots
// again, which changes nothing.
#include "end_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr int kSlots = 70;  // more than one platform wait; slot 0 stays empty
constexpr DWORD kQuietFor = 300;
constexpr DWORD kLongEnough = 10000;

struct StandIns {
    StandIns() : slots(kSlots) {
        for (int slot = 1; slot < kSlots; ++slot) {
            slots[slot] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
    }
    ~StandIns() {
        for (HANDLE slot : slots) {
            if (slot != nullptr) {
                CloseHandle(slot);
            }
        }
    }
    StandIns(const StandIns&) = delete;
    StandIns& operator=(const StandIns&) = delete;

    ChildTable table() { return ChildTable{slots.data(), static_cast<int>(slots.size())}; }
    // What the completion wait does once it has reported the child in slot.
    void forget(EndWatch* watch, int slot) {
        stop_watching_child(watch, table(), slot);
        CloseHandle(slots[slot]);
        slots[slot] = nullptr;
    }

    std::vector<HANDLE> slots;
};

void post_end_by_hand(const EndWatch& watch, int slot) {
    PostQueuedCompletionStatus(watch.port, 0, static_cast<ULONG_PTR>(slot), nullptr);
}

// Reports, as the completion wait would, every end the watch gives until it is quiet.
std::vector<int> report_until_quiet(EndWatch* watch, StandIns& children) {
    std::vector<int> reported;
    int slot = 0;
    EndNews news;
    while ((news = wait_for_end(watch, children.table(), kQuietFor, &slot)) == EndNews::kEnded) {
        reported.push_back(slot);
        children.forget(watch, slot);
    }
    EXPECT_EQ(news, EndNews::kQuiet);
    return reported;
}

TEST(EndWatchTest, EndsKnownTogetherAreGivenLowestSlotFirstAndEachOnce) {
    const struct {
        const char* what;
        std::vector<int> endedBefore;  // ended before the watch starts
        std::vector<int> posted;       // then ended, their posts in this order
        std::vector<int> reported;
    } cases[] = {
        {"nothing ends", {}, {}, {}},
        {"posts in reverse", {}, {69, 40, 3, 1}, {1, 3, 40, 69}},
        {"ended before the watch, and posted", {50, 2}, {65, 7}, {2, 7, 50, 65}},
        {"a slot posted twice", {}, {9, 9, 4}, {4, 9}},
        {"a post for a slot that holds no child", {}, {0, 12}, {12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StandIns children;
        for (int slot : c.endedBefore) {
            SetEvent(children.slots[slot]);
        }
        EndWatch watch{};
        ASSERT_TRUE(start_end_watch(&watch, children.table()));
        for (int slot : c.posted) {
            if (children.slots[slot] != nullptr) {
                SetEvent(children.slots[slot]);
            }
            post_end_by_hand(watch, slot);
        }
        EXPECT_EQ(report_until_quiet(&watch, children), c.reported);
        stop_end_watch(&watch, children.table());
        EXPECT_EQ(watch.port, nullptr);
    }
}

// A handle that cannot be waited on is found when the watch starts, never left to a
// thread-pool wait that might never call back.
TEST(EndWatchTest, AHandleThatCannotBeWaitedOnStopsTheWatchFromStarting) {
    StandIns children;
    HANDLE real = children.slots[40];
    children.slots[40] = reinterpret_cast<HANDLE>(uintptr_t{0x7ff00000});
    EndWatch watch{};
    EXPECT_FALSE(start_end_watch(&watch, children.table()));
    EXPECT_EQ(watch.port, nullptr);
    EXPECT_EQ(watch.slots, nullptr);
    children.slots[40] = real;
}

// A wait whose post is refused (here: its port replaced by a handle that is no port) tries
// again until the post goes through, and gives up once its child is no longer watched. A
// child whose wait could not be registered is looked at, and its wait registered again.
TEST(EndWatchTest, FailedPostsAndRegistrationsAreMadeUpFor) {
    enum class Fault { kPostRefusedForAWhile, kPostRefusedUntilUnwatched, kNoRegistration };
    const struct {
        const char* what;
        Fault fault;
        DWORD endAfter;  // ms into the first wait
    } cases[] = {
        {"a post refused for a while", Fault::kPostRefusedForAWhile, 0},
        {"a post refused until the child is unwatched", Fault::kPostRefusedUntilUnwatched, 0},
        {"no wait registered, ended before the look", Fault::kNoRegistration, 0},
        {"no wait registered, ending after the look", Fault::kNoRegistration, 200},
    };
    constexpr int kSlot = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StandIns children;
        EndWatch watch{};
        ASSERT_TRUE(start_end_watch(&watch, children.table()));
        WatchedSlot* watched = &watch.slots[kSlot];
        HANDLE noPort = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (c.fault == Fault::kNoRegistration) {
            UnregisterWaitEx(watched->registration, INVALID_HANDLE_VALUE);
            watched->registration = nullptr;
            watch.unregistered = 1;
        } else {
            InterlockedExchangePointer(&watched->port, noPort);
        }
        if (c.endAfter == 0) {
            SetEvent(children.slots[kSlot]);
        }
        std::thread ender([&] {
            Sleep(c.endAfter);
            SetEvent(children.slots[kSlot]);
        });
        int ended = 0;
        if (c.fault == Fault::kNoRegistration) {
            EXPECT_EQ(wait_for_end(&watch, children.table(), kLongEnough, &ended), EndNews::kEnded);
            EXPECT_EQ(ended, kSlot);
        } else {
            EXPECT_EQ(wait_for_end(&watch, children.table(), kQuietFor, &ended), EndNews::kQuiet);
        }
        ender.join();
        if (c.fault == Fault::kPostRefusedForAWhile) {
            InterlockedExchangePointer(&watched->port, watch.port);
            EXPECT_EQ(wait_for_end(&watch, children.table(), kLongEnough, &ended), EndNews::kEnded);
            EXPECT_EQ(ended, kSlot);
        }
        // Unwatching must not wait for a post that can never go through.
        std::atomic<bool> unwatched{false};
        std::thread unwatch([&] {
            children.forget(&watch, kSlot);
            unwatched = true;
        });
        EXPECT_TRUE(wait_until(kLongEnough, [&] { return unwatched.load(); }));
        if (!unwatched) {
            InterlockedExchangePointer(&watched->port, watch.port);  // let it end
        }
        unwatch.join();
        stop_end_watch(&watch, children.table());
        CloseHandle(noPort);
    }
}

// Posts for a child already reported wake the wait but change nothing: the time-out counts
// from the call, so that they never hold off the launcher's back-off.
TEST(EndWatchTest, PostsForAReportedChildDoNotHoldOffTheTimeOut) {
    constexpr int kMostPosts = 200;  // one every 50 ms: ten seconds
    StandIns children;
    EndWatch watch{};
    ASSERT_TRUE(start_end_watch(&watch, children.table()));
    children.forget(&watch, 5);
    std::atomic<bool> quiet{false};
    std::atomic<int> posts{0};
    std::thread poster([&] {
        for (; posts < kMostPosts && !quiet; ++posts) {
            post_end_by_hand(watch, 5);
            Sleep(kQuietFor / 6);
        }
    });
    int slot = 0;
    EXPECT_EQ(wait_for_end(&watch, children.table(), kQuietFor, &slot), EndNews::kQuiet);
    quiet = true;
    poster.join();
    EXPECT_LT(posts, kMostPosts) << "quiet only once the posts stopped";
    stop_end_watch(&watch, children.table());
}

}  // namespace
