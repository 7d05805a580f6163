#pragma once
// Whether a long-running program keeps memory: a growth rate read from readings taken over a
// run, in the unit a user weighs it in (MB per hour of interview).

#include <sys/types.h>
#include <chrono>
#include <vector>

namespace halvenor::test {

struct MemorySample {
    std::chrono::steady_clock::duration at;  // since the run began
    long kb;
};

// How fast memory climbs through the samples taken at or after `settled`, in MB per hour: the
// median of the slopes between every two of them, so one burst that comes and goes (the
// buffers of a screenshot question) and the jitter of single readings do not read as growth,
// while a steady climb does. 0 when fewer than two samples are that late.
double growthMbPerHour(const std::vector<MemorySample>& samples,
                       std::chrono::steady_clock::duration settled);

// The program's own memory in kB: its private anonymous pages ("Anonymous" of
// /proc/{pid}/smaps_rollup), without the shared libraries and file pages that resident size
// also counts; the resident size where the kernel has no smaps_rollup; -1 when the process is
// gone.
long privateAnonymousKb(pid_t pid);

}  // namespace halvenor::test
