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

// Which program the platform starts for a command.
enum class StartRoute {
    kInterpreter,  // the system's cmd.exe, which runs the command text after its prefix
    kCommandText,  // the program the platform finds from the command text's first token
    kMatchedFile,  // exactly the file a pattern matched, named as the program to run
};

// One command as it will be handed to the platform.
struct ChildStartRequest {
    const wchar_t* argument;  // the command, or the matched file's name, exactly as received
    bool isFileName;          // a pattern made the argument: a file's name, not a command line
    StartRoute route;
    uint32_t creationFlags;  // process-creation flags, priority class included
};

LaunchSettings initial_launch_settings();

// Applies argument to settings if it is one of the switches; false means it is a command.
bool apply_switch(const wchar_t* argument, LaunchSettings* settings);

// A file's name that a pattern made (isFileName) is started as that file: through the
// interpreter in shell mode, and directly as the named program otherwise, unless it is a
// batch file, which only the interpreter runs.
ChildStartRequest compose_child_start(const wchar_t* argument, bool isFileName,
                                      LaunchSettings settings);
