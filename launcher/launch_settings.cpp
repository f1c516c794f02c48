#include "launch_settings.h"

#include <windows.h>

#include <cwchar>

namespace {

// The interpreter runs whatever follows this prefix; no quoting is added.
constexpr wchar_t kInterpreterPrefix[] = L"cmd.exe /c ";
constexpr size_t kInterpreterPrefixLength = sizeof(kInterpreterPrefix) / sizeof(wchar_t) - 1;

enum class SwitchField { Console, Shell, Priority };

struct Switch {
    const wchar_t* name;
    SwitchField field;
    uint32_t value;
};

// Tried in this order; a switch is only ever a whole, case-sensitive match.
constexpr Switch kSwitches[] = {
    {L"--no-con", SwitchField::Console, 1},
    {L"--con", SwitchField::Console, 0},
    {L"--no-shl", SwitchField::Shell, 1},
    {L"--shl", SwitchField::Shell, 0},
    {L"--high", SwitchField::Priority, HIGH_PRIORITY_CLASS},
    {L"--normal", SwitchField::Priority, NORMAL_PRIORITY_CLASS},
    {L"--above", SwitchField::Priority, ABOVE_NORMAL_PRIORITY_CLASS},
    {L"--below", SwitchField::Priority, BELOW_NORMAL_PRIORITY_CLASS},
};

}  // namespace

LaunchSettings initial_launch_settings() {
    LaunchSettings settings{};
    settings.priorityClass = NORMAL_PRIORITY_CLASS;
    return settings;
}

bool apply_switch(const wchar_t* argument, LaunchSettings* settings) {
    for (const Switch& candidate : kSwitches) {
        if (wcscmp(argument, candidate.name) != 0) {
            continue;
        }
        switch (candidate.field) {
            case SwitchField::Console:
                settings->noConsole = candidate.value != 0;
                break;
            case SwitchField::Shell:
                settings->noShell = candidate.value != 0;
                break;
            case SwitchField::Priority:
                settings->priorityClass = candidate.value;
                break;
        }
        return true;
    }
    return false;
}

ChildStartRequest compose_child_start(const wchar_t* argument, LaunchSettings settings) {
    ChildStartRequest request{};
    request.argument = argument;
    request.viaInterpreter = !settings.noShell;
    // A direct child without a console of its own shares the launcher's console.
    request.creationFlags = settings.priorityClass | CREATE_NEW_PROCESS_GROUP;
    if (request.viaInterpreter) {
        request.creationFlags |= CREATE_NEW_CONSOLE;
    }
    if (settings.noConsole) {
        request.creationFlags &= ~static_cast<uint32_t>(CREATE_NEW_CONSOLE);
        request.creationFlags |= CREATE_NO_WINDOW;
    }
    return request;
}

bool write_command_text(const ChildStartRequest& request, wchar_t* buffer) {
    const size_t prefixLength = request.viaInterpreter ? kInterpreterPrefixLength : 0;
    const size_t argumentLength = wcslen(request.argument);
    if (prefixLength + argumentLength >= kCommandLineLimit) {
        return false;
    }
    wmemcpy(buffer, kInterpreterPrefix, prefixLength);
    wmemcpy(buffer + prefixLength, request.argument, argumentLength);
    buffer[prefixLength + argumentLength] = L'\0';
    return true;
}
