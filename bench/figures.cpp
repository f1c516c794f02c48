#include "figures.h"

#include <algorithm>

LONGLONG counter_now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);  // cannot fail on any system that runs this
    return now.QuadPart;
}

double counter_to_ms(LONGLONG ticks) {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

double median_of(double* values, int count) {
    if (count <= 0) {
        return 0;
    }
    std::sort(values, values + count);
    return count % 2 == 1 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

double maximum_of(const double* values, int count) {
    return count > 0 ? *std::max_element(values, values + count) : 0;
}

double minimum_of(const double* values, int count) {
    return count > 0 ? *std::min_element(values, values + count) : 0;
}
