// Per-frame cost of the data path through the driver and the emulated bus: a send from
// MiniportSend to the transfer's completion, and a receive from the device's bulk-in transfer to
// the indication, for 64- and 1514-byte frames; beside them, a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/device/scripted_device.h"
#include "host/world/world.h"

namespace {

struct Bench {
    host::world::World world{1};
    host::device::ScriptedDevice* device = nullptr;
    host::ndis::Adapter* adapter = nullptr;

    Bench() {
        world.LoadDriver();
        auto d = std::make_unique<host::device::ScriptedDevice>();
        device = d.get();
        adapter = &world.AddAdapter("A", std::move(d));
        world.Ndis().Initialize(*adapter);
        world.RunFor(10'000);
    }
    ~Bench() { world.Ndis().Halt(*adapter); }
};

void BM_SendToCompletion(benchmark::State& state) {
    Bench b;
    const std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        const size_t before = b.device->bulkOut.size();
        b.world.Ndis().Send(*b.adapter, frame);
        while (b.device->bulkOut.size() == before) b.world.Scheduler().RunOne(UINT64_MAX);
        if (b.device->bulkOut.size() > 4096) b.device->bulkOut.clear();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ReceiveToIndication(benchmark::State& state) {
    Bench b;
    std::vector<uint8_t> transfer(static_cast<size_t>(state.range(0)) + 8, 0xA5);
    transfer[transfer.size() - 2] = 0x00;  // status: good frame
    auto& received = b.adapter->protocol.received;
    for (auto _ : state) {
        b.device->QueueBulkIn(transfer);
        while (received.empty()) b.world.Scheduler().RunOne(UINT64_MAX);
        received.clear();
    }
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
