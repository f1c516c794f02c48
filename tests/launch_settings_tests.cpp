#include "launch_settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "command_text.h"
#include "test_support.h"

#include <string>
#include <vector>

namespace {

TEST(ComposeTest, SwitchesBeforeACommandDecideItsTextAndFlags) {
    struct Case {
        std::vector<std::wstring> switches;  // applied in order before the command
        std::wstring command;
        std::wstring commandText;
        uint32_t creationFlags;
    };
    const Case cases[] = {
        {{}, L"dir /s", L"cmd.exe /c dir /s", 0x00000230},
        {{L"--no-shl"}, L"worker.exe", L"worker.exe", 0x00000220},
        {{L"--no-con"}, L"dir", L"cmd.exe /c dir", 0x08000220},
        {{L"--no-shl", L"--no-con"}, L"w.exe", L"w.exe", 0x08000220},
        {{L"--no-con", L"--con"}, L"dir", L"cmd.exe /c dir", 0x00000230},
        {{L"--no-shl", L"--shl"}, L"dir", L"cmd.exe /c dir", 0x00000230},
        {{L"--high"}, L"a", L"cmd.exe /c a", 0x00000080 | 0x210},
        {{L"--above"}, L"a", L"cmd.exe /c a", 0x00008000 | 0x210},
        {{L"--below"}, L"a", L"cmd.exe /c a", 0x00004000 | 0x210},
        {{L"--high", L"--normal"}, L"a", L"cmd.exe /c a", 0x00000020 | 0x210},
        {{L"--high", L"--below"}, L"a", L"cmd.exe /c a", 0x00004000 | 0x210},
        {{L"--below", L"--no-shl", L"--no-con"}, L"w.exe", L"w.exe", 0x00004000 | 0x08000200},
        {{L"--high", L"--no-shl"}, L"w.exe", L"w.exe", 0x00000080 | 0x200},
        {{}, L"", L"cmd.exe /c ", 0x00000230},
        {{L"--no-shl"}, L"", L"", 0x00000220},
        {{}, L"cmd.exe /c ver", L"cmd.exe /c cmd.exe /c ver", 0x00000230},
        {{}, L"a \"b c\" ^&", L"cmd.exe /c a \"b c\" ^&", 0x00000230},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.commandText));
        LaunchSettings settings = initial_launch_settings();
        for (const std::wstring& name : c.switches) {
            ASSERT_TRUE(apply_switch(name.c_str(), &settings)) << to_utf8(name);
        }
        ASSERT_FALSE(apply_switch(c.command.c_str(), &settings));

        const ChildStartRequest request = compose_child_start(c.command.c_str(), false, settings);
        std::vector<wchar_t> text(kCommandLineLimit);
        ASSERT_TRUE(write_command_text(request, true, text.data()));
        EXPECT_EQ(std::wstring(text.data()), c.commandText);
        EXPECT_EQ(request.creationFlags, c.creationFlags);
        EXPECT_EQ(request.argument, c.command.c_str());
    }
}

TEST(SwitchTest, OnlyWholeCaseSensitiveSwitchesAreSwitches) {
    const wchar_t* const commands[] = {L"--HIGH",     L"-high",    L"--quiet",  L"--no-conx",
                                       L"--no-co",    L"--con ",   L" --con",   L"--",
                                       L"",           L"--Normal", L"—high",    L"--idle",
                                       L"--realtime", L"--help",   L"--version"};
    for (const wchar_t* command : commands) {
        LaunchSettings settings = initial_launch_settings();
        EXPECT_FALSE(apply_switch(command, &settings)) << to_utf8(command);
        EXPECT_EQ(settings.priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
        EXPECT_EQ(settings.noConsole, 0);
        EXPECT_EQ(settings.noShell, 0);
    }
}

// CreateProcessW: "The maximum length of this string is 32,767 characters, including the
// Unicode terminating null character." So 32,766 units of text are the most it takes.
TEST(CommandTextTest, TheLongestCommandLineThePlatformTakesIsAcceptedAndOneMoreRefused) {
    struct Case {
        bool noShell;
        size_t argumentLength;
        bool fits;
    };
    // Through the interpreter the 11 units of "cmd.exe /c " count as well.
    const Case cases[] = {{true, 32766, true},   {true, 32767, false}, {false, 32755, true},
                          {false, 32756, false}, {true, 40000, false}, {false, 40000, false}};
    constexpr size_t kGuard = 64;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argumentLength);
        LaunchSettings settings = initial_launch_settings();
        settings.noShell = c.noShell;
        const std::wstring argument(c.argumentLength, L'x');
        const ChildStartRequest request = compose_child_start(argument.c_str(), false, settings);
        std::vector<wchar_t> buffer(kCommandLineLimit + kGuard, L'#');
        EXPECT_EQ(write_command_text(request, true, buffer.data()), c.fits);
        EXPECT_EQ(std::wstring(buffer.data() + kCommandLineLimit, kGuard),
                  std::wstring(kGuard, L'#'));
        if (c.fits) {
            EXPECT_EQ(wcslen(buffer.data()), c.argumentLength + (c.noShell ? 0 : 11));
        } else {
            EXPECT_EQ(buffer[0], L'#') << "a refused text is not written at all";
        }
    }
}

}  // namespace
