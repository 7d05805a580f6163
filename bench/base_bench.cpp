#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "base/base64.h"

namespace {

// A 1920x1080 PNG is a few megabytes; its base64 text goes into every image request.
void BM_Base64Encode(benchmark::State& state) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31);
    for (auto _ : state)
        benchmark::DoNotOptimize(morvelin::base64Encode(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(1 << 20)->Arg(4 << 20);

}  // namespace
