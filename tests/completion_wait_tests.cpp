// The completion wait driven with events standing in for children: an event that is set
// is a child that has ended. This pins down the order of the reports and the handling of
// more handles than one platform wait takes, without timing anything.
#include "completion_wait.h"

#include <gtest/gtest.h>

#include <deque>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

struct StandInTable {
    explicit StandInTable(int slotCount) : slots(slotCount), waitSet(slotCount) {
        for (int slot = 0; slot < slotCount; ++slot) {
            names.push_back(L"child " + std::to_wstring(slot));
        }
        for (const std::wstring& name : names) {
            arguments.push_back(const_cast<wchar_t*>(name.c_str()));
        }
    }
    HANDLE add_child(int slot, const wchar_t* name = nullptr) {
        slots[slot] = CreateEventW(nullptr, TRUE, FALSE, name);
        return slots[slot];
    }
    ChildTable table() { return ChildTable{slots.data(), static_cast<int>(slots.size())}; }

    std::vector<HANDLE> slots;
    std::vector<HANDLE> waitSet;
    std::vector<std::wstring> names;
    std::vector<wchar_t*> arguments;
};

struct WaitRun {
    bool allEnded;
    std::string output;
};

WaitRun run_wait(StandInTable& children, const ScratchFolder& folder) {
    const std::wstring path = folder.file(L"reports.txt");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool allEnded = wait_for_children(children.table(), children.waitSet.data(),
                                            children.arguments.data(), ReportOutput{file, false});
    CloseHandle(file);
    return {allEnded, read_file(path)};
}

std::string exit_lines(const std::vector<int>& slots) {
    std::string lines;
    for (int slot : slots) {
        lines += "exit [child " + std::to_string(slot) + "]\r\n";
    }
    return lines;
}

TEST(CompletionWaitTest, ChildrenThatHaveAllEndedAreReportedInArgumentOrderAndClosed) {
    // Within one platform wait, at its limit, handed over to it after one or two ends, and
    // well beyond it.
    for (int childCount : {2, 64, 65, 66, 130, 300}) {
        SCOPED_TRACE(childCount);
        ScratchFolder folder;
        StandInTable children(childCount + 3);
        std::vector<int> slots;
        // Each stand-in has a name and the table holds its only handle, so once that handle
        // is closed the name no longer opens anything.
        std::vector<std::wstring> names;
        for (int slot = 2; slot < childCount + 2; ++slot) {  // slot 0, 1 and the last stay empty
            names.push_back(L"quorvel-stand-in-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(slot));
            SetEvent(children.add_child(slot, names.back().c_str()));
            slots.push_back(slot);
        }
        const WaitRun run = run_wait(children, folder);
        EXPECT_TRUE(run.allEnded);
        EXPECT_EQ(run.output, exit_lines(slots));
        for (HANDLE slot : children.slots) {
            EXPECT_EQ(slot, nullptr);
        }
        for (const std::wstring& name : names) {
            HANDLE left = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
            EXPECT_EQ(left, nullptr) << "still open: " << to_utf8(name);
            if (left != nullptr) {
                CloseHandle(left);
            }
        }
    }
}

// What stands in for a child beyond the events: a real test child, which ends when its own
// named event is set, through a handle with every right or with only the right to wait.
enum class StandIn { kEvent, kProcess, kProcessWithOnlyTheRightToWait };

TEST(CompletionWaitTest, EachEndIsReportedWithoutWaitingForAnEarlierChild) {
    // The first two children end before the wait begins. Of the others the last-placed ends
    // first, and each end must be reported before the next child ends; an end noticed only
    // when an earlier-placed child ends would stall here.
    const struct {
        int childCount;
        StandIn standIn;
    } cases[] = {
        {10, StandIn::kEvent},
        {150, StandIn::kEvent},
        {300, StandIn::kEvent},
        {70, StandIn::kProcess},
        {70, StandIn::kProcessWithOnlyTheRightToWait},
    };
    constexpr int kEndedBefore = 2;
    for (const auto& [childCount, standIn] : cases) {
        SCOPED_TRACE(testing::Message()
                     << childCount << " children, stand-in " << static_cast<int>(standIn));
        ScratchFolder folder;
        StandInTable children(childCount);
        std::deque<NamedEvent> endEvents;  // what a child process waits for
        std::vector<HANDLE> enders;        // set one to end its child
        std::vector<int> order;
        for (int slot = 0; slot < childCount; ++slot) {
            if (standIn == StandIn::kEvent) {
                enders.push_back(children.add_child(slot));
            } else {
                const NamedEvent& end = endEvents.emplace_back();
                enders.push_back(end.handle);
                const DWORD access =
                    standIn == StandIn::kProcess ? PROCESS_ALL_ACCESS : SYNCHRONIZE;
                children.slots[slot] =
                    start_test_child(folder, L"--wait-event " + end.name, access);
                ASSERT_NE(children.slots[slot], nullptr);
            }
            order.insert(slot < kEndedBefore ? order.begin() + slot : order.begin() + kEndedBefore,
                         slot);
        }
        for (int slot = 0; slot < kEndedBefore; ++slot) {
            SetEvent(enders[slot]);
            WaitForSingleObject(children.slots[slot], 10000);
        }
        const std::wstring reports = folder.file(L"reports.txt");
        bool allReportedInTime = true;
        std::thread ender([&] {
            for (size_t i = kEndedBefore; i < order.size() && allReportedInTime; ++i) {
                SetEvent(enders[order[i]]);
                const std::string expected = exit_lines({order.begin(), order.begin() + i + 1});
                if (!wait_until(10000, [&] { return read_file(reports) == expected; })) {
                    allReportedInTime = false;
                    for (HANDLE event : enders) {
                        SetEvent(event);  // let the wait finish
                    }
                }
            }
        });
        const WaitRun run = run_wait(children, folder);
        ender.join();
        EXPECT_TRUE(allReportedInTime);
        EXPECT_TRUE(run.allEnded);
        EXPECT_EQ(run.output, exit_lines(order));
    }
}

// Beyond one platform wait the news of an end comes from the pool thread that waits for it,
// a moment late: two ends that come together, the later-placed first, must still be reported
// in argument order. The wait is held still while they end, so that whichever news comes
// first, both ends are there to be seen; the later one's news often comes alone, the other's
// still on its way, and then only the wait's own look at the places before it finds the
// earlier end. One wait sees many pairs, each ended once the one before it is reported;
// places are those of the wait set, which has no gaps, so they shift as children end.
TEST(CompletionWaitTest, EndsThatComeTogetherBeyondOneWaitAreReportedInArgumentOrder) {
    const struct {
        int later;    // ends first
        int earlier;  // ends right after it
    } pairs[] = {
        {1, 0},    // the first two places
        {65, 64},  // the earlier one opens the second 64, alone in it before the later one
        {119, 9},  // in different 64s
    };
    constexpr int kTrials = 2;
    constexpr int kChildren = 400;
    constexpr size_t kFewestLive = 120;  // every pair's places are live, and more than 64
    for (int trial = 0; trial < kTrials; ++trial) {
        SCOPED_TRACE(trial);
        ScratchFolder folder;
        StandInTable children(kChildren + 1);  // slot 0 stays empty
        std::vector<int> live;                 // the slots of the live children, in place order
        for (int slot = 1; slot <= kChildren; ++slot) {
            children.add_child(slot);
            live.push_back(slot);
        }
        std::vector<HANDLE> enders = children.slots;
        struct Waiting {
            StandInTable* children;
            const ScratchFolder* folder;
            WaitRun run;
        } waiting{&children, &folder, {}};
        HANDLE thread = CreateThread(
            nullptr, 0,
            [](void* context) -> DWORD {
                auto* w = static_cast<Waiting*>(context);
                w->run = run_wait(*w->children, *w->folder);
                return 0;
            },
            &waiting, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        Sleep(100);  // into its wait, as a rule
        std::string reported;
        for (size_t round = 0; live.size() >= kFewestLive; ++round) {
            const auto& [laterPlace, earlierPlace] = pairs[round % std::size(pairs)];
            SCOPED_TRACE(testing::Message() << "places " << laterPlace << " then " << earlierPlace
                                            << ", round " << round);
            const int later = live[laterPlace];
            const int earlier = live[earlierPlace];
            live.erase(live.begin() + laterPlace);
            live.erase(live.begin() + earlierPlace);
            SuspendThread(thread);
            SetEvent(enders[later]);
            SetEvent(enders[earlier]);
            ResumeThread(thread);
            const size_t before = reported.size();
            const std::string inOrder = exit_lines({earlier, later});
            EXPECT_TRUE(wait_until(10000, [&] {
                reported = read_file(folder.file(L"reports.txt"));
                return reported.size() >= before + inOrder.size();
            }));
            const std::string news = reported.substr(before);
            EXPECT_EQ(news, inOrder);
            if (news != inOrder) {
                break;  // one is enough
            }
        }
        for (int slot : live) {  // in argument order, so they are reported in it
            SetEvent(enders[slot]);
        }
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EXPECT_TRUE(waiting.run.allEnded);
        EXPECT_EQ(waiting.run.output, reported + exit_lines(live));
    }
}

TEST(CompletionWaitTest, AFailingWaitGivesUpInsteadOfSpinning) {
    // Handle values that no process would be given make the platform's wait fail, with
    // few and with many.
    for (int childCount : {1, 100}) {
        SCOPED_TRACE(childCount);
        ScratchFolder folder;
        StandInTable children(childCount + 1);
        for (int slot = 1; slot <= childCount; ++slot) {
            children.slots[slot] = reinterpret_cast<HANDLE>(uintptr_t{0x7ff00000} + 4 * slot);
        }
        const std::vector<HANDLE> before = children.slots;
        const WaitRun run = run_wait(children, folder);
        EXPECT_FALSE(run.allEnded);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(children.slots, before);  // left for the caller to close
    }
}

TEST(CompletionWaitTest, AnEmptyTableReturnsAtOnce) {
    ScratchFolder folder;
    StandInTable children(3);
    const WaitRun run = run_wait(children, folder);
    EXPECT_TRUE(run.allEnded);
    EXPECT_EQ(run.output, "");
}

}  // namespace
