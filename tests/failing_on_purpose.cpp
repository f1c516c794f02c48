// A test that fails on purpose, for no_process_left.sh, which checks that nothing it started
// outlives it; never run as part of the suite. It starts the launcher with two children that
// would sleep ten minutes, the second in a kill-on-close job of its own, nested in the
// tests' job. Once both run it prints "folder=" and its scratch folder; when its standard
// input ends it fails, aborts or hangs until killed, as QUORVEL_FAIL_HOW says ("fail",
// "abort", "hang"). The children record into MARKER.txt and MARKER-own-job.txt, MARKER
// being QUORVEL_FAIL_MARKER, which is how the check tells its own processes from others.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_support.h"

TEST(FailingOnPurpose, LeavesTheLauncherAndItsChildrenRunning) {
    const char* how = std::getenv("QUORVEL_FAIL_HOW");
    const char* marker = std::getenv("QUORVEL_FAIL_MARKER");
    ASSERT_TRUE(how != nullptr && marker != nullptr);
    ScratchFolder folder;
    const std::wstring name(marker, marker + strlen(marker));
    const LauncherRun run = start_launcher(
        {L"--no-shl", L"--no-con", L"test_child.exe --record " + name + L".txt --sleep 600000",
         L"test_child.exe --record " + name + L"-own-job.txt --own-job --sleep 600000"},
        folder);
    ASSERT_NE(run.process, nullptr);
    ASSERT_TRUE(wait_for_record(folder.file(name + L".txt"), "pid", 60000));
    ASSERT_TRUE(wait_for_record(folder.file(name + L"-own-job.txt"), "own-job", 60000));
    ASSERT_EQ(record_values(folder.file(name + L"-own-job.txt"), "own-job"),
              std::vector<std::string>{"ok"});
    std::printf("folder=%s\n", to_utf8(folder.path).c_str());
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    if (std::string(how) == "abort") {
        std::abort();
    }
    if (std::string(how) == "hang") {
        Sleep(INFINITE);
    }
    FAIL() << "failing on purpose, with the launcher and its children still running";
}
