// How long building one frame, and turning it into its hex text, takes.
#include <benchmark/benchmark.h>

#include <numeric>
#include <string>
#include <vector>

#include "hex_text.h"
#include "upgrade_frame.h"

namespace {

std::vector<std::uint8_t> SampleBlock() {
    std::vector<std::uint8_t> block(4096);
    std::iota(block.begin(), block.end(), std::uint8_t{0});
    return block;
}

void BM_FillFrame(benchmark::State& state) {
    const auto block = SampleBlock();
    FrameBuffer frame{};
    for (auto _ : state) {
        FillUpgradeFrame(block.data(), FrameAt(4096, 1 << 20), frame);
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4107);
}
BENCHMARK(BM_FillFrame);

void BM_FillAndFormatFrame(benchmark::State& state) {
    const auto block = SampleBlock();
    FrameBuffer frame{};
    for (auto _ : state) {
        FillUpgradeFrame(block.data(), FrameAt(4096, 1 << 20), frame);
        std::size_t textBytes = 0;
        for (const auto byte : frame) {
            textBytes += FormatFrameByteText(byte).size();
        }
        benchmark::DoNotOptimize(textBytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4107);
}
BENCHMARK(BM_FillAndFormatFrame);

}  // namespace

BENCHMARK_MAIN();
