#pragma once

#include <windows.h>

#include "launch_settings.h"
#include "report_output.h"

// Starts the child described by request. Returns its process handle, which the caller
// then owns, or nullptr when the child could not be started.
HANDLE start_child(const ChildStartRequest& request);

// Writes "run [argument]...ok" or "run [argument]...error".
void write_start_report(const ReportOutput& output, const wchar_t* argument, bool started);
