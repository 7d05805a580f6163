#include "tests/support/memory_trend.h"

#include <algorithm>

#include "tests/support/process.h"

namespace halvenor::test {

double growthMbPerHour(const std::vector<MemorySample>& samples,
                       std::chrono::steady_clock::duration settled) {
    std::vector<MemorySample> late;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(late),
                 [&](const MemorySample& s) { return s.at >= settled; });
    std::vector<double> slopes;  // kB per second
    for (std::size_t i = 0; i < late.size(); ++i) {
        for (std::size_t j = i + 1; j < late.size(); ++j) {
            const double seconds = std::chrono::duration<double>(late[j].at - late[i].at).count();
            if (seconds > 0)
                slopes.push_back(static_cast<double>(late[j].kb - late[i].kb) / seconds);
        }
    }
    if (slopes.empty())
        return 0;
    const auto middle = slopes.begin() + static_cast<std::ptrdiff_t>(slopes.size() / 2);
    std::nth_element(slopes.begin(), middle, slopes.end());
    double median = *middle;
    if (slopes.size() % 2 == 0)
        median = (median + *std::max_element(slopes.begin(), middle)) / 2;
    return median * 3600 / 1024;
}

long privateAnonymousKb(pid_t pid) {
    const long own = procField(pid, "smaps_rollup", "Anonymous");
    return own >= 0 ? own : procStatus(pid, "VmRSS");
}

}  // namespace halvenor::test
