// SPDX-License-Identifier: GPL-2.0-or-later
// Pure helpers of the benchmark: the median of samples and the figures read
// from the output of strace -c and of valgrind's callgrind tool (those of
// /proc/PID/stat: proc_stat.h).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The median of the samples (the mean of the middle two for an even count);
// 0 for none.
double median(std::vector<double> samples);

// The ratios numerators[i] / denominators[i] of measurements taken in pairs
// (in turns, so both sides of a pair saw the same load): their median, the
// least and the greatest. A pair whose denominator is not above 0 gives no
// ratio and is left out, as are the pairs only one side has; `pairs` counts
// the ratios taken, and all is 0 when there are none.
struct ratio_summary {
    double median = 0;
    double least = 0;
    double most = 0;
    int pairs = 0;
};
ratio_summary pair_ratios(const std::vector<double>& numerators,
                          const std::vector<double>& denominators);

// `text` as a whole decimal number above 0 (a count on the command line);
// -1 when it is none.
long long positive_number(std::string_view text);

// System calls by name from the summary table of `strace -c`, with the row
// "total" as well. Lines that are not rows of the table are skipped.
std::map<std::string, long long> strace_counts(std::string_view summary);

// The instruction count callgrind reports ("==PID== Collected : N") in its
// output; -1 when there is none.
long long callgrind_collected(std::string_view output);
