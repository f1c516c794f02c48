// The watch used beyond one platform wait: which form it takes for which children, and
// that a child's end wakes it while nothing else does.
#include "end_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

enum class Form { kJob, kThreadPool };

TEST(EndWatchTest, UsesAJobUnlessALiveChildCannotJoinIt) {
    const struct {
        const char* children;
        DWORD access;
        bool endedBeforeTheWatch;
        Form form;
    } cases[] = {
        {"live, able to join a job", PROCESS_ALL_ACCESS, false, Form::kJob},
        {"live, unable to join a job", SYNCHRONIZE, false, Form::kThreadPool},
        {"ended, unable to join a job but with no need to", SYNCHRONIZE, true, Form::kJob},
    };
    for (const auto& [children, access, endedBeforeTheWatch, form] : cases) {
        SCOPED_TRACE(children);
        ScratchFolder folder;
        const NamedEvent endAll;
        std::vector<HANDLE> slots(4, nullptr);  // slot 0 stays empty, as the program's name
        for (size_t slot = 1; slot < slots.size(); ++slot) {
            slots[slot] = start_test_child(folder, L"--wait-event " + endAll.name, access);
            ASSERT_NE(slots[slot], nullptr);
        }
        if (endedBeforeTheWatch) {
            SetEvent(endAll.handle);
            for (size_t slot = 1; slot < slots.size(); ++slot) {
                WaitForSingleObject(slots[slot], 10000);
            }
        }

        EndWatch watch{};
        ASSERT_TRUE(
            start_end_watch(&watch, ChildTable{slots.data(), static_cast<int>(slots.size())}));
        EXPECT_EQ(watch.job != nullptr, form == Form::kJob);
        EXPECT_EQ(watch.anyEnded != nullptr, form == Form::kThreadPool);
        if (!endedBeforeTheWatch) {
            // Whatever the watch has to say about the children's joining, and no more: while
            // no child ends, it stays quiet.
            DWORD news = WAIT_OBJECT_0;
            for (int wakes = 0; news == WAIT_OBJECT_0 && wakes < 100; ++wakes) {
                news = wait_for_end_news(watch, 500);
            }
            EXPECT_EQ(news, static_cast<DWORD>(WAIT_TIMEOUT));
            SetEvent(endAll.handle);
            EXPECT_EQ(wait_for_end_news(watch, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        }
        stop_end_watch(&watch, static_cast<int>(slots.size()));
        EXPECT_FALSE(end_watch_running(watch));

        for (HANDLE child : slots) {
            if (child != nullptr) {
                CloseHandle(child);
            }
        }
    }
}

}  // namespace
