// Bulk-in transfers as the bus delivers them to BulkInComplete: fuzzed bytes and lengths, error
// completions, and a lower driver that reports more bytes than the read asked for. Beside the
// verifier's checks, the receive path is held to a model of it: each transfer counts by its
// status byte, a frame is indicated exactly when there is one the packet can describe (at least
// an Ethernet header, at most the packet's buffer), in order, and reading stops for good after an
// error completion.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "driver/frame/adapter_record.h"
#include "fuzz/fuzz_checks.h"

namespace {

constexpr size_t kRead = 1536;
constexpr size_t kTrailer = 8;
constexpr size_t kLargestFrame = 1514;
constexpr size_t kEthernetHeader = 14;

struct Model {
    uint64_t ok = 0, error = 0, flag06 = 0, flag10 = 0, runt = 0;
    bool errorArmed = false;  // the bus fails the next transfer it serves
    bool stopped = false;     // an error completion ended reading
    std::vector<std::vector<uint8_t>> frames;

    // One transfer of `moved` bytes (what the device put in the buffer) reported as `reported`.
    void Transfer(const std::vector<uint8_t>& bytes, size_t reported) {
        if (stopped) return;
        if (errorArmed) {
            errorArmed = false;
            stopped = true;
            return;
        }
        if (reported < 2 || reported > kRead) return;
        const uint8_t status = bytes[reported - 2];
        if (status & 0x1E) {
            flag06 += ((status & 0x02) != 0) + ((status & 0x04) != 0);
            error += (status & 0x08) != 0;
            flag10 += (status & 0x10) != 0;
            return;
        }
        if (reported > kTrailer && reported - kTrailer < kEthernetHeader) {
            ++runt;  // shorter than its header: a receive error, not a frame
            return;
        }
        ++ok;
        if (reported > kTrailer && reported - kTrailer <= kLargestFrame)
            frames.emplace_back(bytes.begin(), bytes.begin() + (reported - kTrailer));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::OneAdapter f;
    f.Start();
    const auto& record = *static_cast<const AdapterRecord*>(f.adapter->context);
    Model model;
    // NICSIM_FUZZ_VERBOSE=1 tells each step, for replaying a crash by hand.
    const bool verbose = std::getenv("NICSIM_FUZZ_VERBOSE") != nullptr;
    auto tell = [&](const char* what, size_t a = 0, size_t b = 0) {
        if (verbose)
            std::fprintf(stderr, "%10llu us  %-28s %zu %zu  state %lu ok %lu frames %zu\n",
                         static_cast<unsigned long long>(f.world.NowUs()), what, a, b,
                         static_cast<unsigned long>(record.AdapterState),
                         static_cast<unsigned long>(record.RcvOk), f.adapter->protocol.received.size());
    };

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
        case 1:
        case 2: {  // an honest transfer, possibly longer than the read (the device cuts it)
            const size_t length = in.ConsumeIntegralInRange<size_t>(0, kRead + 64);
            std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
            f.device->QueueBulkIn(bytes);
            if (bytes.size() > kRead) bytes.resize(kRead);
            model.Transfer(bytes, bytes.size());
            tell("transfer", length, bytes.size());
            break;
        }
        case 3: {  // the bus claims more than the read asked for
            std::vector<uint8_t> bytes =
                in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kRead));
            const uint32_t extra = static_cast<uint32_t>(kRead + 1 - bytes.size()) +
                                   in.ConsumeIntegral<uint16_t>();
            f.adapter->bus->Faults().bulkInOverstate = extra;
            f.device->QueueBulkIn(bytes);
            f.world.RunFor(3'000);
            f.adapter->bus->Faults().bulkInOverstate = 0;
            model.Transfer(bytes, bytes.size() + extra);
            tell("overstated transfer", bytes.size(), extra);
            break;
        }
        case 4:  // the read that data next completes ends with an error instead
            if (!model.stopped && !model.errorArmed) {
                f.adapter->bus->Faults().bulkInErrors = 1;
                model.errorArmed = true;
            }
            tell("error completion");
            break;
        default: {  // time passes: indications, the link poll, the receive timer
            const uint32_t us = in.ConsumeIntegralInRange<uint32_t>(0, 4'000'000);
            f.world.RunFor(us);
            tell("pause", us);
            break;
        }
        }
        // Every transfer is read and judged before the next one is offered.
        f.world.RunFor(3'000);
        fuzz::RequireNoViolation(f.world);
    }
    f.world.RunFor(20'000);

    fuzz::Require(record.RcvOk == model.ok, "RcvOk differs from the model");
    fuzz::Require(record.RcvError == model.error, "RcvError differs from the model");
    fuzz::Require(record.RcvFlag06Count == model.flag06, "RcvFlag06Count differs from the model");
    fuzz::Require(record.RcvFlag10Count == model.flag10, "RcvFlag10Count differs from the model");
    fuzz::Require(record.RcvRunt == model.runt, "RcvRunt differs from the model");
    const auto& got = f.adapter->protocol.received;
    fuzz::Require(got.size() == model.frames.size(), "a different number of frames was indicated",
                  std::to_string(got.size()) + " indicated, " +
                      std::to_string(model.frames.size()) + " expected");
    for (size_t i = 0; i < got.size(); ++i)
        fuzz::Require(got[i].data == model.frames[i], "an indicated frame differs from the model",
                      "frame " + std::to_string(i));
    fuzz::Require(record.AdapterState == (model.stopped ? ADAPTER_RECEIVE_FAILED : ADAPTER_RUNNING),
                  "the adapter state does not tell whether a read failed");
    f.HaltAndCheck();
    return 0;
}
