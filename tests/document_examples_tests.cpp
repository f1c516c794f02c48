// The README's and the guides' examples, run as a reader would type them: each command line
// goes to cmd.exe in a folder that holds the files the example names, with quorvel.exe
// found along PATH, and what comes out must be what the document shows, line for line.
// The build copies the documents into "documents" beside the test programs.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "document_examples.h"
#include "output_start.h"
#include "test_support.h"

namespace {

// Every document that may show examples; DocumentList checks that none is missing.
const char* const kDocuments[] = {"README.md",        "docs/wildcards.md",
                                  "docs/shells.md",   "docs/windows-notes.md",
                                  "docs/building.md", "docs/benchmarks.md"};

std::wstring widened(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
    return text;
}

std::wstring document_path(const std::string& document) {
    std::wstring path = build_folder() + L"\\documents\\" + widened(document);
    for (wchar_t& c : path) {
        c = c == L'/' ? L'\\' : c;
    }
    return path;
}

void write_text(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << to_utf8(path);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A folder holding nothing but what is put in it: ScratchFolder's copy of the test child
// would be matched by the examples' patterns.
struct EmptyFolder {
    ScratchFolder folder;
    EmptyFolder() { DeleteFileW(folder.file(L"test_child.exe").c_str()); }
};

void make_file(const std::wstring& folder, const ExampleFile& file) {
    const std::wstring path = folder + L"\\" + widened(file.name);
    for (size_t slash = path.find(L'\\', folder.size() + 1); slash != std::wstring::npos;
         slash = path.find(L'\\', slash + 1)) {
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    }
    const std::wstring child = build_folder() + L"\\test_child.exe";
    if (ends_with(file.name, "\\")) {
        return;  // made on the way
    }
    if (file.shown) {
        write_text(path, file.content);
    } else if (ends_with(file.name, ".exe")) {
        ASSERT_TRUE(CopyFileW(child.c_str(), path.c_str(), FALSE)) << file.name;
    } else if (ends_with(file.name, ".cmd") || ends_with(file.name, ".bat")) {
        write_text(path,
                   "@\"" + to_utf8(child) + "\" --sleep " + std::to_string(file.sleepMs) + "\r\n");
    } else {
        write_text(path, "");
    }
}

// Runs "cmd.exe /c LINE" in folder, with bin first on PATH; its output, or a note that it
// did not end.
std::string run_through_interpreter(const std::string& line, const std::wstring& folder,
                                    const std::wstring& bin) {
    // A file of its own for each command: a process that outlived the last one may still
    // hold that one's file.
    static unsigned serial = 0;
    const std::wstring outputPath = bin + L"\\output-" + std::to_wstring(++serial) + L".txt";
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        return "(cannot create the output file)";
    }
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring interpreter = std::wstring(system) + L"\\cmd.exe";
    std::wstring commandLine = L"cmd.exe /c " + widened(line);

    wchar_t oldPath[32767];
    const DWORD oldLength = GetEnvironmentVariableW(L"PATH", oldPath, 32767);
    SetEnvironmentVariableW(L"PATH", (bin + L";" + std::wstring(oldPath, oldLength)).c_str());
    PROCESS_INFORMATION process{};
    const bool started = start_with_output(interpreter.c_str(), commandLine.data(), folder.c_str(),
                                           output, 0, &process);
    SetEnvironmentVariableW(L"PATH", oldLength > 0 ? oldPath : nullptr);
    CloseHandle(output);
    if (!started) {
        return "(cmd.exe did not start)";
    }
    const bool ended = WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended ? read_file(outputPath) : "(cmd.exe did not end within 120 s)";
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "    " + line + "\n";
    }
    return text;
}

std::string where(const Example& example) {
    return example.document + ":" + std::to_string(example.line);
}

// A folder with quorvel.exe alone in it, as an installed copy would be.
struct InstalledCopy {
    EmptyFolder bin;
    InstalledCopy() {
        CopyFileW((build_folder() + L"\\quorvel.exe").c_str(),
                  bin.folder.file(L"quorvel.exe").c_str(), FALSE);
    }
};

// Runs each command of the example in a folder of its own; the output of each.
std::vector<std::vector<std::string>> run_example(const Example& example,
                                                  const InstalledCopy& copy) {
    EmptyFolder folder;
    for (const ExampleFile& file : example.files) {
        make_file(folder.folder.path, file);
    }
    std::vector<std::vector<std::string>> outputs;
    for (const ExampleCommand& command : example.commands) {
        outputs.push_back(output_lines(
            run_through_interpreter(command.line, folder.folder.path, copy.bin.folder.path)));
    }
    return outputs;
}

DocumentReading read_document(const std::string& document) {
    const std::string markdown = read_file(document_path(document));
    DocumentReading reading = read_examples(document, markdown);
    if (markdown.empty()) {
        reading.errors.push_back(document + ": cannot be read, or is empty");
    }
    return reading;
}

class DocumentExamples : public testing::TestWithParam<const char*> {};

TEST_P(DocumentExamples, GiveTheOutputTheDocumentShows) {
    const DocumentReading reading = read_document(GetParam());
    for (const std::string& error : reading.errors) {
        ADD_FAILURE() << error;
    }
    InstalledCopy copy;
    int run = 0;
    std::string marked;
    int markedCount = 0;
    for (const Example& example : reading.examples) {
        if (!example.notRunReason.empty()) {
            marked += "  " + where(example) + ": " + example.commands.front().line + "\n    (" +
                      example.notRunReason + ")\n";
            ++markedCount;
            continue;
        }
        const std::vector<std::vector<std::string>> outputs = run_example(example, copy);
        for (size_t i = 0; i < outputs.size(); ++i) {
            const ExampleCommand& command = example.commands[i];
            EXPECT_TRUE(output_matches(command.output, outputs[i]))
                << where(example) << ": " << command.line << "\nthe document shows:\n"
                << joined(command.output) << "cmd.exe gave:\n"
                << joined(outputs[i]);
        }
        ++run;
        std::printf("ran %s: %s\n", where(example).c_str(), example.commands.front().line.c_str());
    }
    std::printf("%s: %d examples run, %d marked as not runnable here\n%s", GetParam(), run,
                markedCount, marked.c_str());
}

std::string test_name(const testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Documents, DocumentExamples, testing::ValuesIn(kDocuments), test_name);

// Every Markdown file the build copied is one of the documents read above.
TEST(DocumentList, NamesEveryDocument) {
    std::vector<std::string> found;
    for (const std::wstring pattern : {L"*.md", L"docs\\*.md"}) {
        WIN32_FIND_DATAW entry;
        HANDLE search =
            FindFirstFileW((build_folder() + L"\\documents\\" + pattern).c_str(), &entry);
        ASSERT_NE(search, INVALID_HANDLE_VALUE) << to_utf8(pattern);
        do {
            found.push_back((pattern == L"*.md" ? "" : "docs/") + to_utf8(entry.cFileName));
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    for (const std::string& document : found) {
        bool listed = false;
        for (const char* known : kDocuments) {
            listed = listed || document == known;
        }
        EXPECT_TRUE(listed) << document << " is not among the documents whose examples are run";
    }
}

// The check itself: the README's first example, run for real, matches as shown, and no
// longer does once any one character of a line it shows is changed, a line is dropped or
// two are swapped.
TEST(DocumentList, AnExampleChangedByOneCharacterFails) {
    const DocumentReading reading = read_document("README.md");
    const Example* first = nullptr;
    for (const Example& example : reading.examples) {
        if (first == nullptr && example.notRunReason.empty()) {
            first = &example;
        }
    }
    ASSERT_NE(first, nullptr) << "the README shows no example that runs here";
    const std::vector<std::string> shown = first->commands.front().output;
    ASSERT_GE(shown.size(), 3U);
    InstalledCopy copy;
    const std::vector<std::string> given = run_example(*first, copy).front();
    ASSERT_TRUE(output_matches(shown, given)) << joined(given);

    int changes = 0;
    for (size_t line = 1; line < shown.size(); ++line) {  // the banner's date may differ
        for (size_t at = 0; at < shown[line].size(); ++at) {
            std::vector<std::string> changed = shown;
            changed[line][at] = changed[line][at] == 'x' ? 'y' : 'x';
            EXPECT_FALSE(output_matches(changed, given)) << changed[line];
            ++changes;
        }
    }
    std::vector<std::string> dropped(shown.begin(), shown.end() - 1);
    EXPECT_FALSE(output_matches(dropped, given));
    std::vector<std::string> swapped = shown;
    std::swap(swapped[1], swapped[2]);
    EXPECT_FALSE(output_matches(swapped, given));
    EXPECT_GT(changes, 20);
}

// How documents are read: prompts, the notes before a block, and what is refused.
TEST(DocumentReadingTest, ReadsPromptsNotesAndFiles) {
    struct Case {
        const char* markdown;
        size_t examples;
        size_t errors;
        const char* firstCommand;
        size_t firstOutputLines;
        bool marked;
        size_t files;
    };
    const Case cases[] = {
        {"```\nC:\\p> quorvel a\nQuorvel / Jul  2 2017\nrun [a]...ok\nexit [a]\n\n```\n", 1, 0,
         "quorvel a", 3, false, 0},
        {"```\nC:\\p> quorvel a\nx\nC:\\p> quorvel b\ny\n```\n", 1, 0, "quorvel a", 1, false, 0},
        {"```\nPS C:\\p> quorvel a\nx\n```\n", 1, 1, "quorvel a", 1, false, 0},
        {"<!-- not run here: PowerShell -->\n```\nPS C:\\p> quorvel a\n```\n", 1, 0, "quorvel a", 0,
         true, 0},
        {"<!-- files: a.cmd:1500; sub\\; tools dir\\x.exe -->\n```\nC:\\p> quorvel a\n```\n", 1, 0,
         "quorvel a", 0, false, 3},
        {"<!-- file run.cmd -->\n```\n@echo off\nquorvel a\n```\n\n```\nC:\\p> run\nx\n```\n", 1, 0,
         "run", 1, false, 1},
        {"<!-- files: a.cmd -->\n\n```\nC:\\p> quorvel a\n```\n", 1, 0, "quorvel a", 0, false, 0},
        {"<!-- files: a.cmd -->\n```\nquorvel a\n```\n", 0, 1, "", 0, false, 0},
        {"```\nquorvel a\nC:\\p> quorvel a\n```\n", 0, 1, "", 0, false, 0},
        {"<!-- file run.cmd -->\n```\n@echo off\n```\n", 0, 1, "", 0, false, 0},
        {"```\nC:\\p> quorvel a\n", 0, 1, "", 0, false, 0},
        {"```\n> quorvel a\n```\n", 0, 0, "", 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.markdown);
        const DocumentReading reading = read_examples("doc.md", c.markdown);
        ASSERT_EQ(reading.examples.size(), c.examples);
        EXPECT_EQ(reading.errors.size(), c.errors);
        if (c.examples == 0) {
            continue;
        }
        const Example& example = reading.examples.front();
        EXPECT_EQ(example.commands.front().line, c.firstCommand);
        EXPECT_EQ(example.commands.front().output.size(), c.firstOutputLines);
        EXPECT_EQ(!example.notRunReason.empty(), c.marked);
        EXPECT_EQ(example.files.size(), c.files);
    }
}

TEST(DocumentReadingTest, ReadsTheFilesANoteNames) {
    const DocumentReading reading =
        read_examples("doc.md", "<!-- files: a.cmd:1500; sub\\; b.exe -->\n```\nC:\\p> q\n```\n");
    ASSERT_EQ(reading.examples.size(), 1U);
    const std::vector<ExampleFile>& files = reading.examples.front().files;
    ASSERT_EQ(files.size(), 3U);
    EXPECT_EQ(files[0].name, "a.cmd");
    EXPECT_EQ(files[0].sleepMs, 1500U);
    EXPECT_EQ(files[1].name, "sub\\");
    EXPECT_EQ(files[2].name, "b.exe");
    EXPECT_EQ(files[2].sleepMs, 0U);
}

TEST(DocumentReadingTest, MatchesTheBannerByItsDateAndEveryOtherLineExactly) {
    struct Case {
        const char* shown;
        const char* given;
        bool matches;
    };
    const Case cases[] = {
        {"Quorvel / Jul  2 2017", "Quorvel / Dec 10 2026", true},
        {"Quorvel / Jul  2 2017", "Quorvel / Jux 10 2026", false},
        {"Quorvel / Jul  2 2017", "Quorvel / Dec 40 2026", false},
        {"Quorvel / Jul  2 2017", "Quorvel /Dec 10 2026", false},
        {"Quorvel / Jul  2 2017", "Quorvel / Dec 10 226", false},
        {"Quorvel / Jul  2 2017", "Quorvel / Dec  0 2026", false},
        {"Quorvel / Jul  2 2017", "Quorvel / ecJ 10 2026", false},
        {"run [a]...ok", "run [a]...ok", true},
        {"run [a]...ok", "run [a]...ok ", false},
        {"run [é.cmd]...ok", "run [e.cmd]...ok", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(output_matches({c.shown}, {c.given}), c.matches) << c.shown << " / " << c.given;
    }
    EXPECT_FALSE(output_matches({"a"}, {"a", "b"}));
    EXPECT_EQ(output_lines("a\r\nb\r\n\r\n"), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
