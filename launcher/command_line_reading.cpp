#include "command_line_reading.h"

#include <cstddef>
#include <cwchar>

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

const wchar_t* skip_blanks(const wchar_t* at) {
    while (is_blank(*at)) {
        ++at;
    }
    return at;
}

// Two double quotes inside quotes give one literal quote. Microsoft's runtimes since Visual
// C++ 2008 stay inside the quotes after it; older ones, msvcrt.dll among them, leave them.
enum class PairedQuotes { kStayInside, kLeave };
constexpr PairedQuotes kPairedQuoteRules[] = {PairedQuotes::kStayInside, PairedQuotes::kLeave};
constexpr size_t kRuleCount = sizeof(kPairedQuoteRules) / sizeof(kPairedQuoteRules[0]);

// One argument read from the command line and compared, unit by unit, with the one the
// start-up gave.
struct ArgumentReading {
    const wchar_t* expected;  // what the start-up's argument still has to give
    bool matches;
    bool quoted;  // a double quote of its own delimited part of it
};

void read_unit(ArgumentReading* reading, wchar_t unit) {
    if (reading->matches && *reading->expected == unit) {
        ++reading->expected;
    } else {
        reading->matches = false;
    }
}

void read_backslashes(ArgumentReading* reading, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        read_unit(reading, L'\\');
    }
}

void finish_reading(ArgumentReading* reading) {
    if (*reading->expected != L'\0') {
        reading->matches = false;
    }
}

// The program's name ends at the first blank outside double quotes. The quotes are not part
// of it, and backslashes mean nothing there.
const wchar_t* read_program_name(const wchar_t* at, ArgumentReading* reading) {
    bool inQuotes = false;
    for (; *at != L'\0' && (inQuotes || !is_blank(*at)); ++at) {
        if (*at == L'"') {
            inQuotes = !inQuotes;
        } else {
            read_unit(reading, *at);
        }
    }
    finish_reading(reading);
    return at;
}

// The runtime's rules: a blank outside double quotes ends an argument; backslashes are
// literal unless a double quote follows them, when each pair gives one backslash and an odd
// one makes the quote literal; within quotes, two double quotes give one literal quote.
// Returns where the argument ends.
const wchar_t* read_argument(const wchar_t* at, PairedQuotes rule, ArgumentReading* reading) {
    bool inQuotes = false;
    while (*at != L'\0' && (inQuotes || !is_blank(*at))) {
        size_t backslashes = 0;
        while (at[backslashes] == L'\\') {
            ++backslashes;
        }
        if (at[backslashes] != L'"') {
            read_backslashes(reading, backslashes);
            at += backslashes;
            if (backslashes == 0) {
                read_unit(reading, *at);
                ++at;
            }
            continue;
        }
        read_backslashes(reading, backslashes / 2);
        at += backslashes;
        if (backslashes % 2 == 1) {
            read_unit(reading, L'"');
            ++at;
        } else if (inQuotes && at[1] == L'"') {
            read_unit(reading, L'"');
            at += 2;
            inQuotes = rule == PairedQuotes::kStayInside;
        } else {
            inQuotes = !inQuotes;
            reading->quoted = true;
            ++at;
        }
    }
    finish_reading(reading);
    return at;
}

}  // namespace

void find_unquoted_patterns(const wchar_t* commandLine, int count, const wchar_t* const* arguments,
                            bool* isPattern) {
    for (int i = 0; i < count; ++i) {
        isPattern[i] = false;
    }
    if (count < 1) {
        return;
    }
    ArgumentReading name{arguments[0], true, false};
    const wchar_t* afterName = read_program_name(commandLine, &name);
    if (!name.matches) {
        return;  // the start-up read the line otherwise: no argument can be placed on it
    }
    // Each rule reads the whole line on its own; one that has once read an argument other
    // than the start-up did is not asked again, since the two may no longer even agree on
    // where an argument begins.
    const wchar_t* at[kRuleCount];
    bool agrees[kRuleCount];
    for (size_t rule = 0; rule < kRuleCount; ++rule) {
        at[rule] = afterName;
        agrees[rule] = true;
    }
    for (int i = 1; i < count; ++i) {
        bool anyAgrees = false;
        bool quoted = false;
        for (size_t rule = 0; rule < kRuleCount; ++rule) {
            if (!agrees[rule]) {
                continue;
            }
            ArgumentReading reading{arguments[i], true, false};
            at[rule] = skip_blanks(at[rule]);
            agrees[rule] = *at[rule] != L'\0';
            if (agrees[rule]) {
                at[rule] = read_argument(at[rule], kPairedQuoteRules[rule], &reading);
                agrees[rule] = reading.matches;
            }
            anyAgrees = anyAgrees || agrees[rule];
            quoted = quoted || (agrees[rule] && reading.quoted);
        }
        if (!anyAgrees) {
            return;
        }
        isPattern[i] = !quoted && wcspbrk(arguments[i], L"*?") != nullptr;
    }
}
