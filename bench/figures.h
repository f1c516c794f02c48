#pragma once

#include <windows.h>

// The performance counter now; it runs system-wide, so stamps from different processes
// can be set against each other.
LONGLONG counter_now();
double counter_to_ms(LONGLONG ticks);

// The median of the first count values (sorted in place); 0 for none.
double median_of(double* values, int count);
double maximum_of(const double* values, int count);
double minimum_of(const double* values, int count);
