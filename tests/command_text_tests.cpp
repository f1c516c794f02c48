// The command text and the program chosen for a file's name that a pattern made, beside a
// command typed as it is. Only the text is looked at here; which program the interpreter then
// runs is what the launcher's runs under Wine show.
#include "command_text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch_settings.h"
#include "test_support.h"

namespace {

constexpr uint32_t kShellFlags = 0x00000230;
constexpr uint32_t kDirectFlags = 0x00000220;

struct Case {
    bool direct;  // after --no-shl
    std::wstring name;
    StartRoute route;
    std::wstring text;  // empty: the name cannot be handed over, and nothing is started
    std::wstring currentFolder = L"C:\\work";  // the launcher's
};

void expect_composed(const Case& c, bool isFileName) {
    SCOPED_TRACE(to_utf8(c.name));
    LaunchSettings settings = initial_launch_settings();
    settings.noShell = c.direct;
    const ChildStartRequest request = compose_child_start(c.name.c_str(), isFileName, settings);
    EXPECT_EQ(request.route, c.route);
    EXPECT_EQ(request.creationFlags, c.direct ? kDirectFlags : kShellFlags);
    std::vector<wchar_t> text(kCommandLineLimit, L'#');
    const bool kept = interpreter_keeps_folder(c.currentFolder.c_str());
    EXPECT_EQ(write_command_text(request, kept, text.data()), !c.text.empty());
    EXPECT_EQ(c.text.empty() ? std::wstring() : std::wstring(text.data()), c.text);
}

constexpr StartRoute kInterpreter = StartRoute::kInterpreter;
constexpr StartRoute kMatchedFile = StartRoute::kMatchedFile;
constexpr const wchar_t* kNetworkFolder = L"\\\\srv\\share\\proj";

TEST(CommandTextTest, AMatchedNameIsHandedToTheInterpreterAsExactlyThatFile) {
    const Case cases[] = {
        // Plain, with a folder of its own: as typed, so that %0 is the name itself.
        {false, L"m\\plain.cmd", kInterpreter, L"cmd.exe /c m\\plain.cmd"},
        {false, L"m\\tool.exe", kInterpreter, L"cmd.exe /c m\\tool.exe"},
        {false, L"C:x.cmd", kInterpreter, L"cmd.exe /c C:x.cmd"},
        {false, L"\\m\\x.cmd", kInterpreter, L"cmd.exe /c \\m\\x.cmd"},
        {false, L"..\\x.cmd", kInterpreter, L"cmd.exe /c ..\\x.cmd"},
        {false, L"md5\\x.cmd", kInterpreter, L"cmd.exe /c md5\\x.cmd"},
        // No folder, or a first word that is one of the interpreter's own commands.
        {false, L"plain.cmd", kInterpreter, L"cmd.exe /c .\\plain.cmd"},
        {false, L"dir.cmd", kInterpreter, L"cmd.exe /c .\\dir.cmd"},
        {false, L"ECHO\\x.cmd", kInterpreter, L"cmd.exe /c .\\ECHO\\x.cmd"},
        {false, L"start-all\\x.cmd", kInterpreter, L"cmd.exe /c .\\start-all\\x.cmd"},
        {false, L"label\\x.cmd", kInterpreter, L"cmd.exe /c .\\label\\x.cmd"},
        // Anything the interpreter may read as more than a name: the whole in two pairs.
        {false, L"m\\build all.cmd", kInterpreter, L"cmd.exe /c \"\"m\\build all.cmd\"\""},
        {false, L"a&b.cmd", kInterpreter, L"cmd.exe /c \"\".\\a&b.cmd\"\""},
        {false, L"m\\x(y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x(y.cmd\"\""},
        {false, L"m\\x)y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x)y.cmd\"\""},
        {false, L"m\\x^y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x^y.cmd\"\""},
        {false, L"m\\x,y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x,y.cmd\"\""},
        {false, L"m\\x;y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x;y.cmd\"\""},
        {false, L"m\\x=y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x=y.cmd\"\""},
        {false, L"m\\x'y.cmd", kInterpreter, L"cmd.exe /c \"\"m\\x'y.cmd\"\""},
        {false, L"@x.cmd", kInterpreter, L"cmd.exe /c \"\".\\@x.cmd\"\""},
        // A '/' may start a switch for the interpreter; Windows reads it as a '\'.
        {false, L"sub/x.cmd", kInterpreter, L"cmd.exe /c sub\\x.cmd"},
        {false, L"/r/x.cmd", kInterpreter, L"cmd.exe /c \\r\\x.cmd"},
        {false, L"echo/x.cmd", kInterpreter, L"cmd.exe /c .\\echo\\x.cmd"},
        {false, L"m/a&b.cmd", kInterpreter, L"cmd.exe /c \"\"m\\a&b.cmd\"\""},
        {false, L"\\\\server\\share\\x.cmd", kInterpreter, L"cmd.exe /c \\\\server\\share\\x.cmd"},
        {false, L"m\\caf\u00e9.cmd", kInterpreter, L"cmd.exe /c \"\"m\\caf\u00e9.cmd\"\""},
        {false, L"\u65e5\u672c.cmd", kInterpreter, L"cmd.exe /c \"\".\\\u65e5\u672c.cmd\"\""},
        // Delayed expansion, on where the registry says so, would drop the '!'.
        {false, L"m\\x!y.cmd", kInterpreter, L"cmd.exe /v:off /c \"\"m\\x!y.cmd\"\""},
        // The interpreter expands %NAME% inside quotes too: never handed over.
        {false, L"m\\%QV%.cmd", kInterpreter, L""},
        {false, L"m\\50%.cmd", kInterpreter, L""},
        // A Windows path drops a final '.' or blank, and would name another file.
        {false, L"m\\x.cmd.", kInterpreter, L""},
        {false, L"m\\x.cmd ", kInterpreter, L""},
        // Without an extension the interpreter would try "tool.com", "tool.exe" and the rest
        // of PATHEXT first.
        {false, L"tool", kInterpreter, L""},
        {false, L"v1.0\\tool", kInterpreter, L""},
        // A pattern's folder can hold what no entry's name does: a quote would end the quoted
        // name early ("x" and "evil" would run), a line break the command.
        {false, L"x\"&evil&\\..\\a.cmd", kInterpreter, L""},
        {false, L"m\n\\x.cmd", kInterpreter, L""},
        // Paths handed to the system unconverted, of which the interpreter's pages say nothing.
        {false, L"\\\\?\\C:\\r\\x.cmd", kInterpreter, L""},
        {false, L"//?/C:/r/x.cmd", kInterpreter, L""},
        {false, L"\\\\.\\C:\\x.cmd", kInterpreter, L""},
        {false, L"\\??\\C:\\x.cmd", kInterpreter, L""},
        // A ':' that names no drive: a command beginning with one is a label to the interpreter.
        {false, L":\\..\\a.cmd", kInterpreter, L""},
        {false, L"ab:c\\..\\a.cmd", kInterpreter, L""},
        {false, L"1:x.cmd", kInterpreter, L""},
        {false, L"C:x:y\\..\\a.cmd", kInterpreter, L""},
        {false, L"\\\\?\\UNC\\srv\\share\\x.cmd", kInterpreter, L""},
        {false, L"\\\\.\\GLOBALROOT\\Device\\HarddiskVolume1\\x.cmd", kInterpreter, L""},
        // The interpreter keeps no network or "\\?\" folder and starts in the Windows folder:
        // a name found from the current folder, or from its drive's root, would be another file.
        {false, L"t\\x.cmd", kInterpreter, L"", kNetworkFolder},
        {false, L"x.cmd", kInterpreter, L"", kNetworkFolder},
        {false, L"\\t\\x.cmd", kInterpreter, L"", kNetworkFolder},
        {false, L"/t/x.cmd", kInterpreter, L"", kNetworkFolder},
        {false, L"C:x.cmd", kInterpreter, L"", kNetworkFolder},
        {false, L"\\t\\x.cmd", kInterpreter, L"", L"\\\\?\\C:\\work"},
        {true, L"\\t\\x.cmd", kInterpreter, L"", kNetworkFolder},
        {false, L"\\t\\x.cmd", kInterpreter, L"cmd.exe /c \\t\\x.cmd", L"D:\\"},
        {false, L"C:\\t\\x.cmd", kInterpreter, L"cmd.exe /c C:\\t\\x.cmd", kNetworkFolder},
        {false, L"\\\\srv\\share\\t\\x.cmd", kInterpreter, L"cmd.exe /c \\\\srv\\share\\t\\x.cmd",
         kNetworkFolder},
        {true, L"\\t\\x.exe", kMatchedFile, L"\\t\\x.exe", kNetworkFolder},
    };
    for (const Case& c : cases) {
        expect_composed(c, true);
    }
    // Whether a variable of that name is set where the launcher runs changes nothing.
    ASSERT_TRUE(SetEnvironmentVariableW(L"QV", L"val"));
    expect_composed({false, L"m\\%QV%.cmd", kInterpreter, L""}, true);
    SetEnvironmentVariableW(L"QV", nullptr);
}

TEST(CommandTextTest, ADirectlyStartedMatchedFileIsNamedAsTheProgram) {
    const Case cases[] = {
        {true, L"e\\tool.exe", kMatchedFile, L"e\\tool.exe"},
        {true, L"tool.exe", kMatchedFile, L"tool.exe"},
        {true, L"tool", kMatchedFile, L"tool"},
        {true, L"e\\my tool.exe", kMatchedFile, L"\"e\\my tool.exe\""},
        {true, L"e\\a&b.exe", kMatchedFile, L"e\\a&b.exe"},
        {true, L"e\\50%.exe", kMatchedFile, L"e\\50%.exe"},
        {true, L"--no-con", kMatchedFile, L"--no-con"},
        {true, L"e\\tool.exe.", kMatchedFile, L""},
        // A batch file goes through the interpreter, as the platform requires, quoted as
        // there, with the flags of a direct command.
        {true, L"m\\plain.cmd", kInterpreter, L"cmd.exe /c m\\plain.cmd"},
        {true, L"m\\PLAIN.BAT", kInterpreter, L"cmd.exe /c m\\PLAIN.BAT"},
        {true, L"r&s.cmd", kInterpreter, L"cmd.exe /c \"\".\\r&s.cmd\"\""},
        {true, L"m\\r!.bat", kInterpreter, L"cmd.exe /v:off /c \"\"m\\r!.bat\"\""},
        {true, L"m\\%x%.bat", kInterpreter, L""},
        {true, L"m\\x.cmd.txt", kMatchedFile, L"m\\x.cmd.txt"},
        {true, L"\\\\?\\C:\\e\\x.exe", kMatchedFile, L"\\\\?\\C:\\e\\x.exe"},
        {true, L"x\"&evil&\\..\\a.exe", kMatchedFile, L""},
        {true, L"e\r\\x.exe", kMatchedFile, L""},
    };
    for (const Case& c : cases) {
        expect_composed(c, true);
    }
}

// The interpreter reads 8191 units of a command at most and would cut a longer matched name
// short; a typed command and a program named directly keep the platform's limit.
TEST(CommandTextTest, AMatchedNameThroughTheInterpreterFitsWhatTheInterpreterReads) {
    const struct {
        bool direct;
        bool isFileName;
        const wchar_t* extension;
        size_t nameLength;  // "m\" and the extension included
        bool fits;
    } cases[] = {
        {false, true, L".cmd", 8180, true}, {false, true, L".cmd", 8181, false},
        {true, true, L".bat", 8181, false}, {false, false, L".cmd", 8181, true},
        {true, true, L".exe", 8181, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nameLength);
        LaunchSettings settings = initial_launch_settings();
        settings.noShell = c.direct;
        const std::wstring name = L"m\\" + std::wstring(c.nameLength - 6, L'x') + c.extension;
        const ChildStartRequest request = compose_child_start(name.c_str(), c.isFileName, settings);
        std::vector<wchar_t> text(kCommandLineLimit, L'#');
        EXPECT_EQ(write_command_text(request, true, text.data()), c.fits);
    }
}

// What was typed is handed over as it is, whatever it looks like.
TEST(CommandTextTest, ATypedCommandKeepsItsTextWhateverItHolds) {
    const Case cases[] = {
        {false, L"a&b.cmd", kInterpreter, L"cmd.exe /c a&b.cmd"},
        {false, L"echo %PATH%!", kInterpreter, L"cmd.exe /c echo %PATH%!"},
        {false, L"dir.cmd", kInterpreter, L"cmd.exe /c dir.cmd"},
        {true, L"my tool.exe", StartRoute::kCommandText, L"my tool.exe"},
        {true, L"r&s.cmd", StartRoute::kCommandText, L"r&s.cmd"},
    };
    for (const Case& c : cases) {
        expect_composed(c, false);
    }
}

}  // namespace
