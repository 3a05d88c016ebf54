// Small helpers of the benchmarks: a monotonic clock in microseconds and order statistics.
#pragma once

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace vexlor::bench {

// Monotonic time in microseconds.
inline double NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

struct Summary {
    size_t count = 0;
    double median = NAN;
    double p99 = NAN;
    double mean = NAN;
    double min = NAN;
    double max = NAN;
};

// Nearest-rank percentile of sorted values, q in [0, 1].
inline double Percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return NAN;
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    if (rank == 0) rank = 1;
    if (rank > sorted.size()) rank = sorted.size();
    return sorted[rank - 1];
}

inline Summary Summarize(std::vector<double> values) {
    Summary s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.median = Percentile(values, 0.5);
    s.p99 = Percentile(values, 0.99);
    s.min = values.front();
    s.max = values.back();
    double sum = 0;
    for (double v : values) sum += v;
    s.mean = sum / static_cast<double>(values.size());
    return s;
}

}  // namespace vexlor::bench
