// What the kernel knows about a running process: resident memory, CPU time and page faults,
// from /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string_view>

namespace velmora::driver {

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long status_kib(pid_t pid, std::string_view field);
// Starts the peak resident size (VmHWM) afresh from the current size.
void reset_peak(pid_t pid);
// User plus system time of all the process's threads, from /proc/<pid>/stat.
std::chrono::milliseconds cpu_time(pid_t pid);
// Minor page faults of all the process's threads so far, from /proc/<pid>/stat: faults served
// without the disk, for a relay nearly all of them fresh memory touched for the first time.
long minor_faults(pid_t pid);
// CPU time as the scheduler counts it, summed over /proc/<pid>/task/*/schedstat.
std::chrono::microseconds scheduled_time(pid_t pid);

}  // namespace velmora::driver
