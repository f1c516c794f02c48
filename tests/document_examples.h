#pragma once

// The examples that the README and the guides show: a command typed at a cmd.exe or a
// PowerShell prompt inside a fenced block, and the lines shown after it. Notes in HTML
// comments on the lines right before a block's opening fence say what the folder an example
// runs in holds, and which examples cannot run here:
//
//   <!-- files: lint.cmd:1000; build.cmd:2500; worker.exe; jobs\ -->
//       NAME.cmd or NAME.bat runs for the milliseconds after the colon (none: it ends at
//       once); NAME.exe is a program that ends at once; a name ending in '\' is a folder;
//       any other name is an empty file. Folders on the way are made too.
//   <!-- not run here: REASON -->
//       the example is listed and counted, not run; every PowerShell example needs one.
//   <!-- file NAME -->
//       the block is not an example: it is the text of the file NAME, which the next
//       example of the document finds in its folder.

#include <string>
#include <vector>

struct ExampleFile {
    std::string name;      // relative to the example's folder; a folder's ends in '\'
    unsigned sleepMs = 0;  // a batch file: how long it runs
    bool shown = false;    // the document shows the file's text: content
    std::string content;
};

struct ExampleCommand {
    std::string line;                 // what follows the prompt
    std::vector<std::string> output;  // the lines up to the next prompt or the block's end
};

struct Example {
    std::string document;
    int line = 0;  // of the block's opening fence, counted from 1
    bool powerShell = false;
    std::string notRunReason;  // empty for an example the suite runs
    std::vector<ExampleFile> files;
    std::vector<ExampleCommand> commands;
};

struct DocumentReading {
    std::vector<Example> examples;
    std::vector<std::string> errors;  // "DOCUMENT:LINE: what is wrong"
};

DocumentReading read_examples(const std::string& document, const std::string& markdown);

// The lines of a program's output, without their line ends and without empty lines at the
// end.
std::vector<std::string> output_lines(const std::string& output);

// Whether the output given is what the document shows, line for line. A banner line the
// document shows ("Quorvel / Jul  2 2017") matches a banner with any real date, since the
// date is the build's.
bool output_matches(const std::vector<std::string>& shown, const std::vector<std::string>& given);
