#pragma once

#include <windows.h>

#include "child_table.h"
#include "report_output.h"

// Blocks until every child in table has ended, writing "exit [argument]" as each one
// ends and closing its handle. While nothing ends, the launcher's own priority class
// steps down to below normal after 3 s and to idle after 5 s more; an end puts it back
// to normal. waitSet has room for table.count handles.
//
// Returns false if the platform's wait itself failed: the children still in the table
// are then left running and unreported, and their handles stay in their slots.
bool wait_for_children(const ChildTable& table, HANDLE* waitSet, wchar_t* const* arguments,
                       const ReportOutput& output);
