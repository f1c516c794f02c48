#include "command_text.h"

#include <algorithm>
#include <cwchar>

namespace {

// The interpreter runs whatever follows this prefix.
constexpr wchar_t kInterpreterPrefix[] = L"cmd.exe /c ";
// For a matched name with a '!': where the registry turns delayed expansion on for every
// interpreter, it would take the '!' for the start of a variable and drop it.
constexpr wchar_t kPrefixWithoutDelayedExpansion[] = L"cmd.exe /v:off /c ";
// The longest command the interpreter reads, 8191 characters (Microsoft's article on the
// command prompt's string limit), terminator included. No page says what it makes of a longer
// one, which could lose the quotes that keep a matched name one name.
constexpr size_t kInterpreterLineLimit = 8192;

// The interpreter's own commands, as HELP lists them on Windows and under Wine, and LABEL,
// which Wine's interpreter runs itself too. A command line whose first word is one of them
// can run that command even where a '.' or a '\' follows the word: Wine's interpreter takes
// "dir.cmd" for DIR and "echo\x.cmd" for ECHO.
constexpr const wchar_t* kInterpreterCommands[] = {
    L"assoc",    L"attrib", L"break",    L"call",  L"cd",     L"chdir", L"choice", L"cls",
    L"color",    L"copy",   L"ctty",     L"date",  L"del",    L"dir",   L"dpath",  L"echo",
    L"endlocal", L"erase",  L"exit",     L"for",   L"ftype",  L"goto",  L"help",   L"if",
    L"keys",     L"label",  L"md",       L"mkdir", L"mklink", L"more",  L"move",   L"path",
    L"pause",    L"popd",   L"prompt",   L"pushd", L"rd",     L"rem",   L"ren",    L"rename",
    L"rmdir",    L"set",    L"setlocal", L"shift", L"start",  L"time",  L"title",  L"type",
    L"ver",      L"verify", L"vol",      L"xcopy",
};

// Measures the text when buffer is null, and writes it otherwise.
struct TextWriter {
    wchar_t* buffer;
    size_t length;
};

void write(TextWriter* text, const wchar_t* piece) {
    const size_t pieceLength = wcslen(piece);
    if (text->buffer != nullptr) {
        wmemcpy(text->buffer + text->length, piece, pieceLength);
    }
    text->length += pieceLength;
}

bool is_ascii_letter(wchar_t unit) {
    return (unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z');
}

bool is_ascii_letter_or_digit(wchar_t unit) {
    return is_ascii_letter(unit) || (unit >= L'0' && unit <= L'9');
}

bool is_separator(wchar_t unit) {
    return unit == L'\\' || unit == L'/';
}

// A drive's letter and colon, as in "C:x.cmd".
bool begins_with_drive(const wchar_t* name) {
    return is_ascii_letter(name[0]) && name[1] == L':';
}

// Units the interpreter reads as nothing but part of a name ('/' is handed over as '\').
// Every other one asks for quotes: the blank and "&<>()@^|" by the interpreter's own
// documentation, ",;=" as blanks too, and outside ASCII, since no page says which units it
// takes for blanks there.
bool is_plain_unit(wchar_t unit) {
    return is_ascii_letter_or_digit(unit) || is_separator(unit) || unit == L'.' || unit == L'-' ||
           unit == L'_' || unit == L':';
}

bool is_plain_name(const wchar_t* name) {
    for (; *name != L'\0'; ++name) {
        if (!is_plain_unit(*name)) {
            return false;
        }
    }
    return true;
}

bool begins_with_interpreter_command(const wchar_t* name) {
    size_t word = 0;
    while (is_ascii_letter(name[word])) {
        ++word;
    }
    if (word == 0 || is_ascii_letter_or_digit(name[word])) {
        return false;  // a digit goes on with the word: "md5.cmd" is no "md"
    }
    return std::ranges::any_of(kInterpreterCommands, [&](const wchar_t* command) {
        return wcslen(command) == word && _wcsnicmp(name, command, word) == 0;
    });
}

// A name with no folder of its own is looked for by the interpreter's search, which leaves the
// current folder out where NoDefaultCurrentDirectoryInExePath is set and can then find another
// file of that name along PATH; a name whose first word is one of the interpreter's commands
// runs that command. ".\" before it names the file in the current folder.
bool needs_current_folder(const wchar_t* name) {
    if (is_separator(name[0]) || begins_with_drive(name)) {
        return false;  // rooted, or on a drive of its own
    }
    return wcspbrk(name, L"\\/") == nullptr || begins_with_interpreter_command(name);
}

// Where the last part of a name begins: after its last separator, or its drive's colon.
const wchar_t* last_part(const wchar_t* name) {
    const wchar_t* part = name;
    for (const wchar_t* at = name; *at != L'\0'; ++at) {
        if (is_separator(*at) || *at == L':') {
            part = at + 1;
        }
    }
    return part;
}

// A quote or a control unit, which a pattern's folder can hold though no entry's name does: a
// quote would end the quoted name and a line break the command.
bool holds_quote_or_control_unit(const wchar_t* name) {
    for (; *name != L'\0'; ++name) {
        if (*name == L'"' || *name < L' ') {
            return true;
        }
    }
    return false;
}

// "\\?\" and "\\.\" hand a path to the system unconverted (Naming Files), and so does "\??\";
// the interpreter's own documentation says nothing of running a program from one.
bool is_unconverted_path(const wchar_t* name) {
    const bool twoSeparators =
        is_separator(name[0]) && is_separator(name[1]) && (name[2] == L'?' || name[2] == L'.');
    const bool twoQuestionMarks = is_separator(name[0]) && name[1] == L'?' && name[2] == L'?';
    return (twoSeparators || twoQuestionMarks) && is_separator(name[3]);
}

// A ':' only as a drive's ("C:x.cmd"). Elsewhere only a pattern's folder can hold one, and
// the interpreter reads a command that begins with ':' as a label, and runs nothing.
bool has_colon_beyond_drive(const wchar_t* name) {
    return wcschr(begins_with_drive(name) ? name + 2 : name, L':') != nullptr;
}

// A network path ("\\server\share\x.cmd") or a full path on a drive ("C:\x.cmd") names the
// same file from any folder. Any other name is found from the current folder, or from its
// drive: a name that begins with one separator is "relative from the root of the current
// drive" (File path formats on Windows systems), and "C:x.cmd" is found from drive C's
// current folder.
bool leans_on_current_folder(const wchar_t* name) {
    const bool networkPath = is_separator(name[0]) && is_separator(name[1]);
    const bool fullPathOnDrive = begins_with_drive(name) && is_separator(name[2]);
    return !networkPath && !fullPathOnDrive;
}

// What the interpreter cannot be handed as it is: a name with a '%', since it expands %NAME%
// even inside quotes and nothing keeps a '%' of a /c command literal; one whose last part has
// no extension, since it then tries the extensions in PATHEXT first ("tool" runs
// "tool.cmd"); an unconverted path; one with a ':' that names no drive; and one found from a
// current folder that the interpreter does not keep, since it would be found from the Windows
// folder, or its drive's root, instead.
bool interpreter_can_name(const wchar_t* name, bool currentFolderKept) {
    return wcschr(name, L'%') == nullptr && wcschr(last_part(name), L'.') != nullptr &&
           !is_unconverted_path(name) && !has_colon_beyond_drive(name) &&
           (currentFolderKept || !leans_on_current_folder(name));
}

// A name ending in '.' or a blank opens another file under a Windows path, which drops them.
bool can_be_named(const ChildStartRequest& request, bool currentFolderKept) {
    const wchar_t* name = request.argument;
    const size_t length = wcslen(name);
    if (length == 0 || name[length - 1] == L'.' || name[length - 1] == L' ' ||
        holds_quote_or_control_unit(name)) {
        return false;
    }
    return request.route != StartRoute::kInterpreter ||
           interpreter_can_name(name, currentFolderKept);
}

// The interpreter may read a '/' as the start of a switch; Windows reads it as a '\' in a
// path (Naming Files), which the interpreter reads as nothing else.
void write_with_backslashes(TextWriter* text, const wchar_t* name) {
    const size_t start = text->length;
    write(text, name);
    for (size_t i = start; text->buffer != nullptr && i < text->length; ++i) {
        if (text->buffer[i] == L'/') {
            text->buffer[i] = L'\\';
        }
    }
}

// By the interpreter's rules for /c (cmd /?): a command with more than two quotes loses its
// first and its last, so a name in two pairs reaches it as one quoted name, in which none of
// its special characters is special.
void write_name_for_interpreter(TextWriter* text, const wchar_t* name) {
    write(text,
          wcschr(name, L'!') != nullptr ? kPrefixWithoutDelayedExpansion : kInterpreterPrefix);
    const bool quoted = !is_plain_name(name);
    if (quoted) {
        write(text, L"\"\"");
    }
    if (needs_current_folder(name)) {
        write(text, L".\\");
    }
    write_with_backslashes(text, name);
    if (quoted) {
        write(text, L"\"\"");
    }
}

// The platform runs the file named as the program; the command line only tells the child its
// own name, which a blank would split in two.
void write_name_for_itself(TextWriter* text, const wchar_t* name) {
    const bool quoted = wcspbrk(name, L" \t") != nullptr;
    if (quoted) {
        write(text, L"\"");
    }
    write(text, name);
    if (quoted) {
        write(text, L"\"");
    }
}

bool compose_text(const ChildStartRequest& request, bool currentFolderKept, TextWriter* text) {
    if (request.isFileName && !can_be_named(request, currentFolderKept)) {
        return false;
    }
    switch (request.route) {
        case StartRoute::kInterpreter:
            if (request.isFileName) {
                write_name_for_interpreter(text, request.argument);
            } else {
                write(text, kInterpreterPrefix);
                write(text, request.argument);
            }
            break;
        case StartRoute::kCommandText:
            write(text, request.argument);
            break;
        case StartRoute::kMatchedFile:
            write_name_for_itself(text, request.argument);
            break;
    }
    return true;
}

// A typed command is the user's to keep within the interpreter's limit; a matched name is
// refused where the interpreter would cut it off.
size_t text_limit(const ChildStartRequest& request) {
    return request.isFileName && request.route == StartRoute::kInterpreter ? kInterpreterLineLimit
                                                                           : kCommandLineLimit;
}

}  // namespace

bool interpreter_keeps_folder(const wchar_t* folder) {
    return !(is_separator(folder[0]) && is_separator(folder[1]));
}

bool write_command_text(const ChildStartRequest& request, bool currentFolderKept, wchar_t* buffer) {
    TextWriter measure{nullptr, 0};
    if (!compose_text(request, currentFolderKept, &measure) ||
        measure.length >= text_limit(request)) {
        return false;
    }
    TextWriter text{buffer, 0};
    compose_text(request, currentFolderKept, &text);
    buffer[text.length] = L'\0';
    return true;
}
