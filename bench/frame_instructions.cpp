// Instructions per frame, for bench/measure.py: runs one data-path case, with callgrind's
// collection switched on only around the measured frames (warm-up and set-up are not counted).
//
//   frame_instructions send SIZE FRAMES      MiniportSend to the device taking the transfer
//   frame_instructions receive SIZE FRAMES   the device's bulk-in transfer to the indication
//   frame_instructions copy SIZE FRAMES      memcpy of SIZE bytes, the baseline
//
// Run under `valgrind --tool=callgrind --collect-atstart=no`; outside valgrind it just runs.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/frame_rig.h"

namespace {

constexpr int kWarmUp = 256;

// Kept out of line so that the compiler cannot fold the copies away.
__attribute__((noinline)) void CopyOnce(uint8_t* to, const uint8_t* from, size_t n) {
    std::memcpy(to, from, n);
    asm volatile("" : : "r"(to) : "memory");
}

int Usage() {
    std::fprintf(stderr, "usage: frame_instructions send|receive|copy SIZE FRAMES\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Usage();
    const std::string what = argv[1];
    const long size = std::strtol(argv[2], nullptr, 10);
    const long frames = std::strtol(argv[3], nullptr, 10);
    if (size < 14 || size > 1514 || frames < 1) return Usage();

    if (what == "copy") {
        std::vector<uint8_t> from(static_cast<size_t>(size), 0x5A), to(1536);
        for (int i = 0; i < kWarmUp; ++i) CopyOnce(to.data(), from.data(), from.size());
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i) CopyOnce(to.data(), from.data(), from.size());
        CALLGRIND_TOGGLE_COLLECT;
        return 0;
    }
    bench::FrameRig rig;
    if (what == "send") {
        const std::vector<uint8_t> frame(static_cast<size_t>(size), 0x5A);
        for (int i = 0; i < kWarmUp; ++i) rig.SendOne(frame);
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i) rig.SendOne(frame);
        CALLGRIND_TOGGLE_COLLECT;
    } else if (what == "receive") {
        const auto transfer = bench::FrameRig::ReceiveTransfer(static_cast<size_t>(size));
        for (int i = 0; i < kWarmUp; ++i) rig.ReceiveOne(transfer);
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i) rig.ReceiveOne(transfer);
        CALLGRIND_TOGGLE_COLLECT;
    } else {
        return Usage();
    }
    return 0;
}
