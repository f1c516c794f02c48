#pragma once

#include <cstddef>
#include <cstdint>

// What the switches seen so far say about the next command. Settings are sticky:
// a switch changes one field for every command after it, never for one before it.
struct LaunchSettings {
    uint8_t noConsole : 1;  // the child gets no console window
    uint8_t noShell : 1;    // the command runs directly, not through the interpreter
    uint32_t priorityClass;
};

// One command as it will be handed to the platform.
struct ChildStartRequest {
    const wchar_t* argument;  // the command exactly as received
    bool viaInterpreter;      // the command text is the interpreter prefix + argument
    uint32_t creationFlags;   // process-creation flags, priority class included
};

// The longest command line CreateProcessW takes, in code units, terminator included.
constexpr size_t kCommandLineLimit = 32767;

LaunchSettings initial_launch_settings();

// Applies argument to settings if it is one of the switches; false means it is a command.
bool apply_switch(const wchar_t* argument, LaunchSettings* settings);

ChildStartRequest compose_child_start(const wchar_t* argument, LaunchSettings settings);

// Writes the request's terminated command text into buffer, which has room for
// kCommandLineLimit code units. Returns false, and writes nothing, when the text and its
// terminator would be longer than the platform takes.
bool write_command_text(const ChildStartRequest& request, wchar_t* buffer);
