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

// System calls by name from the summary table of `strace -c`, with the row
// "total" as well. Lines that are not rows of the table are skipped.
std::map<std::string, long long> strace_counts(std::string_view summary);

// The instruction count callgrind reports ("==PID== Collected : N") in its
// output; -1 when there is none.
long long callgrind_collected(std::string_view output);
