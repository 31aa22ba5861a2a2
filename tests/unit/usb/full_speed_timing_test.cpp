// The full-speed timing model of the emulated bus: bulk transfers take 64-byte packets, at most
// 19 per 1 ms frame shared by the device's bulk pipes, and complete exactly at the boundary after
// the frame that carries their last packet. The default frame timing is left as it was.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/usb/bus.h"
#include "tests/support/platform_fixture.h"

namespace {

using host::device::ScriptedDevice;
using host::usb::BusTiming;
using host::usb::UsbBus;
using testing_support::AsyncUrb;
using testing_support::BuildBulkTransfer;
using testing_support::SelectConfiguration;
using testing_support::SubmitAndWait;


class FullSpeedBus : public testing_support::PlatformTest {
protected:
    explicit FullSpeedBus(uint64_t seed = 1) : PlatformTest(seed) {}
    void SetUp() override {
        pipes_ = SelectConfiguration(Bus(), *device_);
        ASSERT_EQ(pipes_.size(), 3u);
        adapter_.bus->SetTiming(BusTiming::FullSpeed);
        // Start the measurements on a frame boundary, with the frame wholly unused.
        world_.RunUntil((world_.NowUs() / 1000 + 2) * 1000);
    }
    PDEVICE_OBJECT Bus() { return adapter_.bus->DeviceObject(); }
    uint64_t Frame() const { return 1000; }

    ScriptedDevice* device_ = nullptr;
    host::ndis::Adapter& adapter_ = AddScripted("A", {}, &device_);
    std::vector<USBD_PIPE_HANDLE> pipes_;
};

TEST_F(FullSpeedBus, ABulkOutTransferTakesAFrameForEveryNineteenPacketsAndEndsOnABoundary) {
    struct Case {
        ULONG bytes;
        uint64_t frames;  // frames from the submission's boundary to the completion
    };
    // 19 packets of 64 bytes fit one frame (1216 bytes); a 1516-byte transfer needs 24 packets.
    for (const Case c : {Case{1, 1}, Case{64, 1}, Case{1216, 1}, Case{1217, 2}, Case{1516, 2},
                         Case{2432, 2}, Case{2433, 3}}) {
        SCOPED_TRACE(std::to_string(c.bytes) + " bytes");
        std::vector<uint8_t> data(c.bytes, 0x5A);
        AsyncUrb out;
        BuildBulkTransfer(out.urb, pipes_[1], false, data.data(), c.bytes);
        const uint64_t start = world_.NowUs();
        ASSERT_EQ(start % Frame(), 0u);
        EXPECT_EQ(out.Submit(Bus()), STATUS_PENDING);
        EXPECT_FALSE(out.Done()) << "a full-speed transfer never completes inside the call";
        world_.RunFor(10 * Frame());
        ASSERT_TRUE(out.Done());
        EXPECT_EQ(out.probe.status, STATUS_SUCCESS);
        EXPECT_EQ(out.probe.at, start + c.frames * Frame()) << "no jitter: exactly on the boundary";
        ASSERT_FALSE(device_->bulkOut.empty());
        EXPECT_EQ(device_->bulkOut.back().size(), c.bytes);
        world_.RunUntil((world_.NowUs() / Frame() + 1) * Frame());
    }
    ExpectClean();
}

TEST_F(FullSpeedBus, ATransferSubmittedMidFrameGetsOnlyTheRestOfThatFrame) {
    // Half a frame left: 9 packets of it, so 19 packets spill into the next frame.
    world_.RunFor(Frame() / 2);
    const uint64_t frameStart = world_.NowUs() - Frame() / 2;
    std::vector<uint8_t> small(9 * 64, 1), large(19 * 64, 2);
    AsyncUrb a, b;
    BuildBulkTransfer(a.urb, pipes_[1], false, small.data(), static_cast<ULONG>(small.size()));
    a.Submit(Bus());
    world_.RunFor(3 * Frame());
    ASSERT_TRUE(a.Done());
    EXPECT_EQ(a.probe.at, frameStart + Frame()) << "nine packets fit the half frame";

    world_.RunUntil(frameStart + 3 * Frame() + Frame() / 2);
    BuildBulkTransfer(b.urb, pipes_[1], false, large.data(), static_cast<ULONG>(large.size()));
    b.Submit(Bus());
    world_.RunFor(4 * Frame());
    ASSERT_TRUE(b.Done());
    EXPECT_EQ(b.probe.at, frameStart + 5 * Frame()) << "ten packets spill into the next frame";
    ExpectClean();
}

TEST_F(FullSpeedBus, BulkPipesShareTheFramesBudget) {
    // Two 1216-byte transfers, one on each bulk pipe, submitted together: each alone would end
    // after one frame; together they need two.
    std::vector<uint8_t> out(1216, 3), in(1216 + 64, 0);
    device_->QueueBulkIn(std::vector<uint8_t>(1216, 4));
    AsyncUrb write, read;
    const uint64_t start = world_.NowUs();
    BuildBulkTransfer(write.urb, pipes_[1], false, out.data(), static_cast<ULONG>(out.size()));
    // The scripted device cannot tell the waiting length, so the read is timed as a full buffer
    // of exactly 19 packets.
    BuildBulkTransfer(read.urb, pipes_[0], true, in.data(), 1216);
    write.Submit(Bus());
    read.Submit(Bus());
    world_.RunFor(5 * Frame());
    ASSERT_TRUE(write.Done() && read.Done());
    EXPECT_EQ(std::max(write.probe.at, read.probe.at), start + 2 * Frame());
    EXPECT_EQ(std::min(write.probe.at, read.probe.at), start + Frame());
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1216u);
    EXPECT_EQ(adapter_.bus->Stats().bulkPackets, 38u);
    ExpectClean();
}

TEST_F(FullSpeedBus, ABusyPipeCarriesOneTransferAtATimeAndStaysUnderTheBusCeiling) {
    // Transfers queued on one pipe go one after the other: the next starts at the boundary where
    // the last completed, so a 1516-byte transfer (24 packets) costs two whole frames.
    constexpr int kTransfers = 40;
    std::vector<std::vector<uint8_t>> data(kTransfers, std::vector<uint8_t>(1516, 7));
    std::vector<std::unique_ptr<AsyncUrb>> urbs;
    const uint64_t start = world_.NowUs();
    for (int i = 0; i < kTransfers; ++i) {
        urbs.push_back(std::make_unique<AsyncUrb>());
        BuildBulkTransfer(urbs.back()->urb, pipes_[1], false, data[i].data(), 1516);
        urbs.back()->Submit(Bus());
    }
    world_.RunFor(200 * Frame());
    uint64_t last = start;
    for (auto& u : urbs) {
        ASSERT_TRUE(u->Done());
        EXPECT_EQ(u->probe.at, last + 2 * Frame());
        last = u->probe.at;
    }
    const double bytesPerSecond = kTransfers * 1516 / (static_cast<double>(last - start) / 1e6);
    EXPECT_LE(bytesPerSecond, 1'216'000.0);
    EXPECT_EQ(device_->bulkOut.size(), static_cast<size_t>(kTransfers));
    ExpectClean();
}

TEST(FrameTiming, IsTheDefaultAndIgnoresTheTransferSize) {
    host::world::World world(3);
    auto device = std::make_unique<ScriptedDevice>();
    ScriptedDevice* d = device.get();
    auto& a = world.AddAdapter("A", std::move(device));
    EXPECT_EQ(a.bus->Timing(), BusTiming::Frame);
    const auto pipes = SelectConfiguration(a.bus->DeviceObject(), *d);
    world.RunUntil(10'000);
    std::vector<uint8_t> big(4000, 1);
    AsyncUrb out;
    BuildBulkTransfer(out.urb, pipes[1], false, big.data(), 4000);
    out.Submit(a.bus->DeviceObject());
    world.RunFor(5000);
    ASSERT_TRUE(out.Done());
    EXPECT_LE(out.probe.at, 11'250u) << "the frame timing ignores size: within the first frame";
    EXPECT_EQ(a.bus->Stats().bulkPackets, 0u);
}

}  // namespace
