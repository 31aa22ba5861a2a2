// Per-frame cost of the data path through the driver and the emulated bus: a send from
// MiniportSend to the transfer's completion, and a receive from the device's bulk-in transfer to
// the indication, for 64- and 1514-byte frames; beside them, a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/frame_rig.h"

namespace {

void BM_SendToCompletion(benchmark::State& state) {
    bench::FrameRig rig;
    const std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) rig.SendOne(frame);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ReceiveToIndication(benchmark::State& state) {
    bench::FrameRig rig;
    const auto transfer = bench::FrameRig::ReceiveTransfer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) rig.ReceiveOne(transfer);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_PlainCopy(benchmark::State& state) {
    const std::vector<uint8_t> from(static_cast<size_t>(state.range(0)), 0x5A);
    std::vector<uint8_t> to(1536);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_SendToCompletion)->Arg(64)->Arg(1514);
BENCHMARK(BM_ReceiveToIndication)->Arg(64)->Arg(1514);
BENCHMARK(BM_PlainCopy)->Arg(64)->Arg(1514);

BENCHMARK_MAIN();
