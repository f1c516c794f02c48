#include "launch_settings.h"

#include <windows.h>

#include <cwchar>

namespace {

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

// A batch file, which the platform runs only through the interpreter.
bool is_batch_file(const wchar_t* name) {
    const wchar_t* extension = wcsrchr(name, L'.');
    return extension != nullptr &&
           (_wcsicmp(extension, L".bat") == 0 || _wcsicmp(extension, L".cmd") == 0);
}

StartRoute choose_route(const wchar_t* argument, bool isFileName, LaunchSettings settings) {
    if (!settings.noShell) {
        return StartRoute::kInterpreter;
    }
    if (!isFileName) {
        return StartRoute::kCommandText;
    }
    // CreateProcessW: to run a batch file, start the command interpreter with /c and its name.
    return is_batch_file(argument) ? StartRoute::kInterpreter : StartRoute::kMatchedFile;
}

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

ChildStartRequest compose_child_start(const wchar_t* argument, bool isFileName,
                                      LaunchSettings settings) {
    ChildStartRequest request{};
    request.argument = argument;
    request.isFileName = isFileName;
    request.route = choose_route(argument, isFileName, settings);
    // A direct child without a console of its own shares the launcher's console, a batch file
    // that a pattern matched included: the flags follow the switches, never the route.
    request.creationFlags = settings.priorityClass | CREATE_NEW_PROCESS_GROUP;
    if (!settings.noShell) {
        request.creationFlags |= CREATE_NEW_CONSOLE;
    }
    if (settings.noConsole) {
        request.creationFlags &= ~static_cast<uint32_t>(CREATE_NEW_CONSOLE);
        request.creationFlags |= CREATE_NO_WINDOW;
    }
    return request;
}
