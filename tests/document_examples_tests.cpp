// The README's and the guides' examples, run as a reader would type them: each command line
// goes to cmd.exe in a folder that holds the files the example names, with quorvel.exe
// found along PATH, and what comes out must be what the document shows, line for line.
// docs/building.md describes the notes that mark the examples up; the build copies the
// documents into "documents" beside the test programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "output_start.h"
#include "test_support.h"

namespace {

// Every document that may show examples; DocumentList checks that none is missing.
const char* const kDocuments[] = {"README.md",        "docs/wildcards.md",
                                  "docs/shells.md",   "docs/windows-notes.md",
                                  "docs/building.md", "docs/benchmarks.md"};

struct ExampleFile {
    std::string name;  // relative to the example's folder; a folder's ends in '\'
    std::string content;
    unsigned sleepMs = 0;  // how long a batch file runs
    bool shown = false;    // the document shows the file's text: content
};

struct Command {
    std::string line;
    std::string output;  // the lines the document shows after the prompt
};

struct Example {
    std::string document;
    size_t line = 0;  // of the opening fence, counted from 1
    std::string notRunReason;
    std::vector<ExampleFile> files;
    std::vector<Command> commands;
    bool noted = false;  // a note of ours came before the block
};

struct Reading {
    std::vector<Example> examples;
    std::vector<std::string> errors;  // "DOCUMENT:LINE: what is wrong"
};

// Without line ends, and without the empty lines at the end.
std::vector<std::string> text_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(0, line.size() - (line.ends_with('\r') ? 1 : 0)));
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

Reading read_examples(const std::string& document, const std::string& markdown) {
    static const std::regex note(R"(<!-- *(files:|file |not run here:)? *(.*?) *-->)");
    static const std::regex listedFile(R"(([^;: ][^;:]*?) *(?::(\d+))? *(?:;|$))");
    static const std::regex prompt(R"((PS )?[A-Za-z]:\\[^>]*> (.*))");
    Reading reading;
    const auto error = [&](size_t line, const std::string& what) {
        reading.errors.push_back(document + ":" + std::to_string(line) + ": " + what);
    };
    const std::vector<std::string> lines = text_lines(markdown);
    Example next;                         // what the notes on the lines right before say of a block
    ExampleFile shownFile;                // "file NAME": the block is that file's text
    std::vector<ExampleFile> shownFiles;  // for the next example
    size_t shownFileLine = 0;
    std::smatch match;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], match, note)) {
            const std::string kind = match[1], text = match[2];
            for (std::sregex_iterator item(text.begin(), text.end(), listedFile), end;
                 kind == "files:" && item != end; ++item) {
                const unsigned long sleepMs = (*item)[2].matched ? std::stoul((*item)[2]) : 0UL;
                next.files.push_back({(*item)[1], "", static_cast<unsigned>(sleepMs)});
            }
            shownFile = kind == "file " ? ExampleFile{text, "", 0, true} : shownFile;
            next.notRunReason = kind == "not run here:" ? text : next.notRunReason;
            next.noted = next.noted || !kind.empty();  // other comments are no notes of ours
            continue;
        }
        Example example = std::exchange(next, {});
        ExampleFile file = std::exchange(shownFile, {});
        if (!lines[i].starts_with("```")) {
            continue;
        }
        example.document = document;
        example.line = i + 1;
        size_t textLine = 0;  // of text before the first prompt
        bool powerShell = false;
        while (++i < lines.size() && !lines[i].starts_with("```")) {
            if (!file.name.empty()) {
                file.content += lines[i] + "\r\n";
            } else if (std::regex_match(lines[i], match, prompt)) {
                example.commands.push_back({match[2], ""});
                powerShell = powerShell || match[1].matched;
            } else if (!example.commands.empty()) {
                example.commands.back().output += lines[i] + "\n";
            } else if (textLine == 0 && lines[i].find_first_not_of(' ') != std::string::npos) {
                textLine = i + 1;
            }
        }
        if (i == lines.size()) {
            error(example.line, "a block that is never closed");
        } else if (!file.name.empty()) {
            shownFiles.push_back(file);
            shownFileLine = example.line;
        } else if (example.commands.empty()) {
            if (example.noted) {
                error(example.line, "a note before a block that shows no prompt");
            }
        } else if (textLine != 0) {
            error(textLine, "text before the block's first prompt");
        } else {
            if (powerShell && example.notRunReason.empty()) {
                error(example.line, "a PowerShell example without a \"not run here:\" note");
            }
            example.files.insert(example.files.end(), shownFiles.begin(), shownFiles.end());
            shownFiles.clear();
            reading.examples.push_back(example);
        }
    }
    if (!shownFiles.empty()) {
        error(shownFileLine, "a file's text that no example after it uses");
    }
    return reading;
}

// The banner's date is the build's, so a banner the document shows matches any real date.
bool output_matches(const std::vector<std::string>& shown, const std::vector<std::string>& given) {
    static const std::regex banner(R"(Quorvel / (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
                                   R"(([ 0][1-9]|[12]\d|3[01]) \d{4})");
    const auto matches = [](const std::string& shownLine, const std::string& givenLine) {
        return std::regex_match(shownLine, banner) ? std::regex_match(givenLine, banner)
                                                   : shownLine == givenLine;
    };
    return std::equal(shown.begin(), shown.end(), given.begin(), given.end(), matches);
}

std::wstring widened(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

// Without ScratchFolder's copy of the test child, which the examples' patterns would match;
// with quorvel.exe alone in it, as an installed copy would be, if asked.
struct EmptyFolder : ScratchFolder {
    explicit EmptyFolder(const wchar_t* copied = nullptr) {
        DeleteFileW(file(L"test_child.exe").c_str());
        if (copied != nullptr) {
            CopyFileW((build_folder() + L"\\" + copied).c_str(), file(copied).c_str(), FALSE);
        }
    }
};

void make_file(const EmptyFolder& folder, const ExampleFile& file) {
    const std::filesystem::path path = folder.file(widened(file.name));
    std::filesystem::create_directories(path.parent_path());
    const std::wstring child = build_folder() + L"\\test_child.exe";
    const std::string type = file.shown ? "" : file.name.substr(file.name.find_last_of('.') + 1);
    if (type == "exe") {
        std::filesystem::copy_file(child, path);
    } else if (!file.name.ends_with('\\')) {  // a folder is made above
        const std::string text =
            type == "cmd" || type == "bat"
                ? "@\"" + to_utf8(child) + "\" --sleep " + std::to_string(file.sleepMs) + "\r\n"
                : file.content;
        EXPECT_TRUE(static_cast<bool>(std::ofstream(path, std::ios::binary) << text)) << file.name;
    }
}

// Runs "cmd.exe /c LINE" in folder with bin first on PATH; its output, or why there is none.
std::string run_through_interpreter(const std::string& line, const std::wstring& folder,
                                    const std::wstring& bin) {
    // A file for each command: a process that outlived the last one may still hold its file.
    static unsigned serial = 0;
    const std::wstring outputPath = bin + L"\\output-" + std::to_wstring(++serial) + L".txt";
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        return "(cannot create the output file)";
    }
    wchar_t system[MAX_PATH];
    const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring interpreter = std::wstring(system, systemLength) + L"\\cmd.exe";
    std::wstring commandLine = L"cmd.exe /c " + widened(line);
    std::wstring oldPath(32767, L'\0');
    oldPath.resize(GetEnvironmentVariableW(L"PATH", oldPath.data(), 32767));
    SetEnvironmentVariableW(L"PATH", (bin + L";" + oldPath).c_str());
    PROCESS_INFORMATION process{};
    const bool started = start_with_output(interpreter.c_str(), commandLine.data(), folder.c_str(),
                                           output, 0, &process);
    SetEnvironmentVariableW(L"PATH", oldPath.empty() ? nullptr : oldPath.c_str());
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

std::vector<std::vector<std::string>> run_example(const Example& example, const EmptyFolder& bin) {
    EmptyFolder folder;
    for (const ExampleFile& file : example.files) {
        make_file(folder, file);
    }
    std::vector<std::vector<std::string>> outputs;
    for (const Command& command : example.commands) {
        outputs.push_back(text_lines(run_through_interpreter(command.line, folder.path, bin.path)));
    }
    return outputs;
}

Reading read_document(const std::string& document) {
    const std::string markdown = read_file(build_folder() + L"\\documents\\" + widened(document));
    Reading reading = read_examples(document, markdown);
    if (markdown.empty()) {
        reading.errors.push_back(document + ": cannot be read, or is empty");
    }
    return reading;
}

class DocumentExamples : public testing::TestWithParam<const char*> {};

TEST_P(DocumentExamples, GiveTheOutputTheDocumentShows) {
    const Reading reading = read_document(GetParam());
    for (const std::string& error : reading.errors) {
        ADD_FAILURE() << error;
    }
    const EmptyFolder bin(L"quorvel.exe");
    int run = 0, markedCount = 0;
    std::string marked;
    for (const Example& example : reading.examples) {
        const std::string where = example.document + ":" + std::to_string(example.line);
        const std::string first = where + ": " + example.commands.front().line;
        if (!example.notRunReason.empty()) {
            marked += "  " + first + "\n    (" + example.notRunReason + ")\n";
            ++markedCount;
            continue;
        }
        const std::vector<std::vector<std::string>> outputs = run_example(example, bin);
        for (size_t i = 0; i < outputs.size(); ++i) {
            const Command& command = example.commands[i];
            const std::vector<std::string> shown = text_lines(command.output);
            EXPECT_TRUE(output_matches(shown, outputs[i]))
                << where << ": " << command.line << "\nthe document shows:\n"
                << testing::PrintToString(shown) << "cmd.exe gave:\n"
                << testing::PrintToString(outputs[i]);
        }
        ++run;
        std::printf("ran %s\n", first.c_str());
    }
    std::printf("%s: %d examples run, %d marked as not runnable here\n%s", GetParam(), run,
                markedCount, marked.c_str());
}

std::string test_name(const testing::TestParamInfo<const char*>& info) {
    return std::regex_replace(info.param, std::regex("[^A-Za-z0-9]"), "_");
}

INSTANTIATE_TEST_SUITE_P(Documents, DocumentExamples, testing::ValuesIn(kDocuments), test_name);

TEST(DocumentList, NamesEveryDocument) {
    const std::filesystem::path documents = build_folder() + L"\\documents";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(documents)) {
        const std::string name = entry.path().lexically_relative(documents).generic_string();
        if (entry.path().extension() == ".md") {
            EXPECT_NE(std::find(std::begin(kDocuments), std::end(kDocuments), name),
                      std::end(kDocuments))
                << name << " is not among the documents whose examples are run";
        }
    }
}

// The check itself: the README's first example, run for real, matches as shown, and no
// longer does once any one character of a line it shows is changed or a line is dropped.
TEST(DocumentList, AnExampleChangedByOneCharacterFails) {
    const Reading reading = read_document("README.md");
    const auto first = std::find_if(reading.examples.begin(), reading.examples.end(),
                                    [](const Example& e) { return e.notRunReason.empty(); });
    ASSERT_NE(first, reading.examples.end()) << "the README shows no example that runs here";
    const std::vector<std::string> shown = text_lines(first->commands.front().output);
    ASSERT_GE(shown.size(), 3U);
    const EmptyFolder bin(L"quorvel.exe");
    const std::vector<std::string> given = run_example(*first, bin).front();
    ASSERT_TRUE(output_matches(shown, given)) << testing::PrintToString(given);
    for (size_t line = 1; line < shown.size(); ++line) {  // the banner's date may differ
        for (size_t at = 0; at < shown[line].size(); ++at) {
            std::vector<std::string> changed = shown;
            changed[line][at] = changed[line][at] == 'x' ? 'y' : 'x';
            EXPECT_FALSE(output_matches(changed, given)) << changed[line];
        }
    }
    EXPECT_FALSE(output_matches(std::vector<std::string>(shown.begin(), shown.end() - 1), given));
}

// What was read: per example its commands with their output's line count, "marked", and
// its files with their run times or their text; then the line of each error.
std::string summary(const Reading& reading) {
    std::string text;
    for (const Example& example : reading.examples) {
        std::string parts;
        for (const Command& command : example.commands) {
            parts += ", " + command.line + " (" +
                     std::to_string(text_lines(command.output).size()) + ")";
        }
        parts += example.notRunReason.empty() ? "" : ", marked";
        for (const ExampleFile& file : example.files) {
            parts += ", " + file.name + (file.shown ? "=" : ":") +
                     (file.shown ? file.content : std::to_string(file.sleepMs));
        }
        text += parts.substr(2) + "\n";
    }
    for (const std::string& error : reading.errors) {
        text += error.substr(0, error.find(": ")) + "\n";
    }
    return text;
}

TEST(DocumentReadingTest, ReadsPromptsNotesAndFiles) {
    const std::pair<const char*, const char*> cases[] = {
        {"```\nC:\\p> quorvel a\nQuorvel / Jul  2 2017\nrun [a]...ok\nexit [a]\n\n```\n",
         "quorvel a (3)\n"},
        {"```\nC:\\p> quorvel a\nx\nC:\\p> quorvel b\ny\n```\n", "quorvel a (1), quorvel b (1)\n"},
        {"```\nPS C:\\p> quorvel a\nx\n```\n", "quorvel a (1)\ndoc.md:1\n"},
        {"<!-- not run here: PowerShell -->\n```\nPS C:\\p> q\n```\n", "q (0), marked\n"},
        {"<!-- files: a.cmd:1500; sub\\; tools dir\\x.exe -->\n```\nC:\\p> q\n```\n",
         "q (0), a.cmd:1500, sub\\:0, tools dir\\x.exe:0\n"},
        {"<!-- file run.cmd -->\n```\n@echo off\nquorvel a\n```\n\n```\nC:\\p> run\nx\n```\n",
         "run (1), run.cmd=@echo off\r\nquorvel a\r\n\n"},
        {"<!-- files: a.cmd -->\n\n```\nC:\\p> q\n```\n", "q (0)\n"},
        {"<!-- files: a.cmd -->\n```\nquorvel a\n```\n", "doc.md:2\n"},
        {"```\nquorvel a\nC:\\p> quorvel a\n```\n", "doc.md:2\n"},
        {"<!-- file run.cmd -->\n```\n@echo off\n```\n", "doc.md:2\n"},
        {"```\nC:\\p> quorvel a\n", "doc.md:1\n"},
        {"```\n> quorvel a\n```\n", ""},
    };
    for (const auto& [markdown, expected] : cases) {
        EXPECT_EQ(summary(read_examples("doc.md", markdown)), expected) << markdown;
    }
}

TEST(DocumentReadingTest, MatchesTheBannerByItsDateAndEveryOtherLineExactly) {
    const std::vector<std::string> banner = {"Quorvel / Jul  2 2017"};
    EXPECT_TRUE(output_matches(banner, {"Quorvel / Dec 10 2026"}));
    for (const char* wrong :
         {"Quorvel / Jux 10 2026", "Quorvel / Dec 40 2026", "Quorvel /Dec 10 2026",
          "Quorvel / Dec 10 226", "Quorvel / Dec  0 2026", "Quorvel / ecJ 10 2026"}) {
        EXPECT_FALSE(output_matches(banner, {wrong})) << wrong;
    }
    EXPECT_TRUE(output_matches({"run [a]...ok"}, {"run [a]...ok"}));
    EXPECT_FALSE(output_matches({"run [a]...ok"}, {"run [a]...ok "}));
    EXPECT_FALSE(output_matches({"run [é.cmd]...ok"}, {"run [e.cmd]...ok"}));
    EXPECT_FALSE(output_matches({"a"}, {"a", "b"}));
    EXPECT_EQ(text_lines("a\r\nb\r\n\r\n"), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
