#include "document_examples.h"

#include <cstdlib>
#include <regex>

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The text of an HTML comment that fills the whole line.
bool read_note(const std::string& line, std::string* note) {
    if (line.size() < 7 || !starts_with(line, "<!--") ||
        line.compare(line.size() - 3, 3, "-->") != 0) {
        return false;
    }
    *note = trimmed(line.substr(4, line.size() - 7));
    return true;
}

// "C:\proj> COMMAND" at cmd.exe's prompt, "PS C:\proj> COMMAND" at PowerShell's.
bool read_prompt(const std::string& line, bool* powerShell, std::string* command) {
    static const std::regex prompt(R"(^(PS )?[A-Za-z]:\\[^>]*> (.*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, prompt)) {
        return false;
    }
    *powerShell = match[1].matched;
    *command = match[2];
    return true;
}

// "NAME; NAME:MS; FOLDER\", the files a "files:" note names.
std::vector<ExampleFile> read_file_list(const std::string& list) {
    std::vector<ExampleFile> files;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        ExampleFile file;
        file.name = trimmed(list.substr(start, end - start));
        const size_t colon = file.name.rfind(':');
        if (colon != std::string::npos) {
            file.sleepMs =
                static_cast<unsigned>(std::strtoul(file.name.c_str() + colon + 1, nullptr, 10));
            file.name.resize(colon);
        }
        if (!file.name.empty()) {
            files.push_back(file);
        }
        start = end + 1;
    }
    return files;
}

struct Notes {
    std::string fileName;  // "file NAME": the block is that file's text
    std::string files;     // "files: ..."
    std::string notRunReason;
    bool any = false;
};

Notes read_notes(const std::vector<std::string>& notes) {
    Notes read;
    for (const std::string& note : notes) {
        if (starts_with(note, "file ")) {
            read.fileName = trimmed(note.substr(5));
        } else if (starts_with(note, "files:")) {
            read.files = note.substr(6);
        } else if (starts_with(note, "not run here:")) {
            read.notRunReason = trimmed(note.substr(13));
        } else {
            continue;  // a comment that is no note of ours
        }
        read.any = true;
    }
    return read;
}

class Reader {
  public:
    Reader(const std::string& document, DocumentReading* reading)
        : document_(document), reading_(reading) {}

    void error(int line, const std::string& what) {
        reading_->errors.push_back(document_ + ":" + std::to_string(line) + ": " + what);
    }

    // A fenced block whose opening fence is on line fenceLine, with the notes before it.
    void block(int fenceLine, const std::vector<std::string>& body, const Notes& notes) {
        if (!notes.fileName.empty()) {
            ExampleFile file;
            file.name = notes.fileName;
            file.shown = true;
            for (const std::string& line : body) {
                file.content += line + "\r\n";
            }
            waiting_.push_back(file);
            waitingLine_ = fenceLine;
            return;
        }
        Example example;
        example.document = document_;
        example.line = fenceLine;
        int textLine = 0;  // of text before the first prompt
        for (size_t i = 0; i < body.size(); ++i) {
            bool powerShell = false;
            std::string command;
            if (read_prompt(body[i], &powerShell, &command)) {
                example.powerShell = example.powerShell || powerShell;
                example.commands.push_back({command, {}});
            } else if (!example.commands.empty()) {
                example.commands.back().output.push_back(body[i]);
            } else if (textLine == 0 && !trimmed(body[i]).empty()) {
                textLine = fenceLine + 1 + static_cast<int>(i);
            }
        }
        if (textLine != 0 && !example.commands.empty()) {
            error(textLine, "text before the block's first prompt");
            return;
        }
        if (example.commands.empty()) {
            if (notes.any) {
                error(fenceLine, "a note before a block that shows no prompt");
            }
            return;
        }
        for (ExampleCommand& command : example.commands) {
            while (!command.output.empty() && command.output.back().empty()) {
                command.output.pop_back();
            }
        }
        example.notRunReason = notes.notRunReason;
        if (example.powerShell && example.notRunReason.empty()) {
            error(fenceLine,
                  "a PowerShell example cannot run here and needs a \"not run here:\" note");
        }
        example.files = read_file_list(notes.files);
        example.files.insert(example.files.end(), waiting_.begin(), waiting_.end());
        waiting_.clear();
        reading_->examples.push_back(example);
    }

    void end() {
        if (!waiting_.empty()) {
            error(waitingLine_, "a file's text that no example after it uses");
        }
    }

  private:
    std::string document_;
    DocumentReading* reading_;
    std::vector<ExampleFile> waiting_;
    int waitingLine_ = 0;
};

}  // namespace

DocumentReading read_examples(const std::string& document, const std::string& markdown) {
    DocumentReading reading;
    Reader reader(document, &reading);
    const std::vector<std::string> lines = split_lines(markdown);
    std::vector<std::string> notes;  // on the lines right before the current one
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string note;
        if (read_note(lines[i], &note)) {
            notes.push_back(note);
            continue;
        }
        if (!starts_with(lines[i], "```")) {
            notes.clear();
            continue;
        }
        size_t close = i + 1;
        while (close < lines.size() && !starts_with(lines[close], "```")) {
            ++close;
        }
        if (close == lines.size()) {
            reader.error(static_cast<int>(i) + 1, "a block that is never closed");
            break;
        }
        reader.block(static_cast<int>(i) + 1,
                     std::vector<std::string>(lines.begin() + static_cast<long>(i) + 1,
                                              lines.begin() + static_cast<long>(close)),
                     read_notes(notes));
        notes.clear();
        i = close;
    }
    reader.end();
    return reading;
}

std::vector<std::string> output_lines(const std::string& output) {
    std::vector<std::string> lines = split_lines(output);
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// "Quorvel / Jul  2 2017": a month's abbreviation, the day in two places (padded with a
// blank) and the year.
bool is_banner(const std::string& line) {
    static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::string start = "Quorvel / ";
    if (line.size() != start.size() + 11 || line.compare(0, start.size(), start) != 0) {
        return false;
    }
    const std::string date = line.substr(start.size());
    const size_t month = kMonths.find(date.substr(0, 3));
    const int day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
    return month != std::string::npos && month % 3 == 0 && date[3] == ' ' &&
           (date[4] == ' ' || is_digit(date[4])) && is_digit(date[5]) && day >= 1 && day <= 31 &&
           date[6] == ' ' && is_digit(date[7]) && is_digit(date[8]) && is_digit(date[9]) &&
           is_digit(date[10]);
}

}  // namespace

bool output_matches(const std::vector<std::string>& shown, const std::vector<std::string>& given) {
    if (shown.size() != given.size()) {
        return false;
    }
    for (size_t i = 0; i < shown.size(); ++i) {
        const bool matches = is_banner(shown[i]) ? is_banner(given[i]) : shown[i] == given[i];
        if (!matches) {
            return false;
        }
    }
    return true;
}
