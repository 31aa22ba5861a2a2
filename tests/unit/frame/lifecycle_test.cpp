// The adapter lifecycle as NDIS drives it: driver entry and registration, initialise with its
// medium choice and failures, the state a running adapter starts in, shutdown, halt and reset.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "driver/frame/ledger.h"
#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace {

using host::usb::BusFaults;
using testing_support::RegisterWrites;
using Json = host::trace::Json;

constexpr NDIS_STATUS kUnsupportedMedia = static_cast<NDIS_STATUS>(0xC0010019L);
constexpr NDIS_STATUS kResources = static_cast<NDIS_STATUS>(0xC000009AL);
constexpr NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC0000001L);

class LifecycleTest : public testing_support::WorldTest {
protected:
    // Control transfers seen on the bus with the given request code (and wValue, if given).
    size_t ControlTransfers(int bRequest, int wValue = -1) {
        return recorder_
            .Where([&](const Json& l) {
                return l["ev"] == "control" && l["bRequest"] == bRequest &&
                       (wValue < 0 || l["wValue"] == wValue);
            })
            .size();
    }
    size_t RemoteWakeupRequests() { return ControlTransfers(3, 1); }

    // A failed initialise leaves nothing behind in the kernel, the NDIS wrapper or the bus.
    void ExpectNothingLeft(const host::ndis::Adapter& a) {
        EXPECT_EQ(LiveResources(a), 0u) << "seed " << world_.Seed();
        EXPECT_EQ(world_.Ndis().ArmedTimers(a.id), 0u);
        EXPECT_EQ(a.shutdownHandler, nullptr);
        EXPECT_EQ(a.bus->Outstanding(), 0u);
        EXPECT_EQ(world_.Kernel().InFlightIrps(a.id), 0u);
    }
};

TEST_F(LifecycleTest, InitializeThenHaltLeavesNothing) {
    auto& a = AddScripted();
    EXPECT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    world_.RunFor(10'000'000);
    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

// ---- driver entry ----

TEST_F(LifecycleTest, DriverEntryRegistersExactlyTheSevenHandlersOfAnNdis50Miniport) {
    ASSERT_EQ(world_.LoadDriver(), STATUS_SUCCESS);
    ASSERT_TRUE(world_.Ndis().Registered());
    const NDIS_MINIPORT_CHARACTERISTICS& c = world_.Ndis().Characteristics();
    EXPECT_EQ(c.Ndis40Chars.Ndis30Chars.MajorNdisVersion, 5);
    EXPECT_EQ(c.Ndis40Chars.Ndis30Chars.MinorNdisVersion, 0);
    EXPECT_NE(c.Ndis40Chars.Ndis30Chars.HaltHandler, nullptr);
    EXPECT_NE(c.Ndis40Chars.Ndis30Chars.InitializeHandler, nullptr);
    EXPECT_NE(c.Ndis40Chars.Ndis30Chars.QueryInformationHandler, nullptr);
    EXPECT_NE(c.Ndis40Chars.Ndis30Chars.ResetHandler, nullptr);
    EXPECT_NE(c.Ndis40Chars.Ndis30Chars.SendHandler, nullptr);
    EXPECT_NE(c.Ndis40Chars.Ndis30Chars.SetInformationHandler, nullptr);
    EXPECT_NE(c.Ndis40Chars.ReturnPacketHandler, nullptr);

    // With those seven and the version cleared, every byte left must be zero: no check-for-hang,
    // interrupt, reconfigure, transfer-data, send-packets, allocate-complete or CO handler.
    NDIS_MINIPORT_CHARACTERISTICS rest;
    std::memcpy(&rest, &c, sizeof rest);
    rest.Ndis40Chars.Ndis30Chars.MajorNdisVersion = 0;
    rest.Ndis40Chars.Ndis30Chars.MinorNdisVersion = 0;
    rest.Ndis40Chars.Ndis30Chars.HaltHandler = nullptr;
    rest.Ndis40Chars.Ndis30Chars.InitializeHandler = nullptr;
    rest.Ndis40Chars.Ndis30Chars.QueryInformationHandler = nullptr;
    rest.Ndis40Chars.Ndis30Chars.ResetHandler = nullptr;
    rest.Ndis40Chars.Ndis30Chars.SendHandler = nullptr;
    rest.Ndis40Chars.Ndis30Chars.SetInformationHandler = nullptr;
    rest.Ndis40Chars.ReturnPacketHandler = nullptr;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&rest);
    for (size_t i = 0; i < sizeof rest; ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;

    // The handlers NDIS calls are distinct routines.
    const void* handlers[] = {
        reinterpret_cast<const void*>(c.Ndis40Chars.Ndis30Chars.HaltHandler),
        reinterpret_cast<const void*>(c.Ndis40Chars.Ndis30Chars.InitializeHandler),
        reinterpret_cast<const void*>(c.Ndis40Chars.Ndis30Chars.QueryInformationHandler),
        reinterpret_cast<const void*>(c.Ndis40Chars.Ndis30Chars.ResetHandler),
        reinterpret_cast<const void*>(c.Ndis40Chars.Ndis30Chars.SendHandler),
        reinterpret_cast<const void*>(c.Ndis40Chars.Ndis30Chars.SetInformationHandler),
        reinterpret_cast<const void*>(c.Ndis40Chars.ReturnPacketHandler)};
    for (size_t i = 0; i < 7; ++i)
        for (size_t j = i + 1; j < 7; ++j) EXPECT_NE(handlers[i], handlers[j]) << i << " " << j;
}

TEST_F(LifecycleTest, DriverEntryFailsWithStatusUnsuccessfulWhenRegistrationFails) {
    host::world::World fresh(world_.Seed());
    fresh.Ndis().FailNextRegistration();
    EXPECT_EQ(fresh.LoadDriver(), kUnsuccessful);
    EXPECT_FALSE(fresh.Ndis().Registered());
    EXPECT_EQ(fresh.Kernel().LiveResources(), 0u);
    EXPECT_EQ(fresh.Verifier().Count(), 0u) << fresh.Verifier().Describe();
}

// ---- medium choice ----

TEST_F(LifecycleTest, The802_3EntryIsChosenWhereverItSitsInTheArray) {
    auto& a = AddScripted();
    UINT selected = 99;
    EXPECT_EQ(world_.Ndis().Initialize(
                  a, {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3, NdisMediumWan}, &selected),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

TEST_F(LifecycleTest, The802_3EntryIsChosenAtItsFirstOccurrence) {
    auto& a = AddScripted();
    UINT selected = 99;
    EXPECT_EQ(world_.Ndis().Initialize(a, {NdisMediumDix, NdisMedium802_3, NdisMedium802_3},
                                       &selected),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(selected, 1u);
    world_.Ndis().Halt(a);
    ExpectClean();
}

TEST_F(LifecycleTest, NoEthernetMediumIsRefusedBeforeAnythingIsAllocated) {
    const std::vector<std::vector<NDIS_MEDIUM>> offers = {
        {}, {NdisMedium802_5}, {NdisMediumWan, NdisMediumFddi, NdisMediumArcnet878_2}};
    for (const auto& media : offers) {
        auto& a = AddScripted("A" + std::to_string(media.size()));
        const uint64_t before = world_.Faults().Total();
        EXPECT_EQ(world_.Ndis().Initialize(a, media), kUnsupportedMedia) << media.size();
        EXPECT_EQ(world_.Faults().Total(), before) << "an allocation was attempted";
        EXPECT_FALSE(a.attributesSet);
        EXPECT_EQ(recorder_.Of("control").size(), 0u) << "the device was touched";
        ExpectNothingLeft(a);
    }
    ExpectClean();
}

// ---- start-up failures ----

TEST_F(LifecycleTest, ADeviceThatNeverAnswersTimesOutAndReleasesEverything) {
    auto& a = AddScripted();
    a.bus->Faults().ArmControl(BusFaults::ControlFault::Silent, 1);
    const uint64_t start = world_.NowUs();
    EXPECT_EQ(world_.Ndis().Initialize(a), kResources);
    // The first request was waited for ten seconds, then cancelled; nothing followed it.
    EXPECT_GE(world_.NowUs() - start, 10'000'000u);
    EXPECT_LT(world_.NowUs() - start, 11'000'000u);
    const auto control = recorder_.Of("control");
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0]["bRequest"], 6);
    EXPECT_EQ(control[0]["result"], "timeout");
    ExpectNothingLeft(a);
    ExpectClean();
}

TEST_F(LifecycleTest, ASilentNodeAddressReadFailsStartUpAfterConfiguration) {
    auto& a = AddScripted();
    // Device descriptor, configuration descriptor, select, set-feature, get-status, then the
    // node address read.
    a.bus->Faults().ArmControl(BusFaults::ControlFault::Silent, 6);
    EXPECT_EQ(world_.Ndis().Initialize(a), kResources);
    const auto control = recorder_.Of("control");
    ASSERT_EQ(control.size(), 6u);
    EXPECT_EQ(control[5]["bRequest"], 0xF0);
    EXPECT_EQ(control[5]["wIndex"], 0x10);
    EXPECT_EQ(control[5]["result"], "timeout");
    // The registry is read after the node address: no configuration handle was ever opened,
    // and the configuration buffers taken so far went back.
    ExpectNothingLeft(a);
    ExpectClean();
}

TEST_F(LifecycleTest, AStalledConfigurationSelectionFailsStartUp) {
    auto& a = AddScripted();
    a.bus->Faults().ArmControl(BusFaults::ControlFault::Stall, 3);
    EXPECT_EQ(world_.Ndis().Initialize(a), kResources);
    // Nothing after the selection reached the device.
    const auto control = recorder_.Of("control");
    ASSERT_EQ(control.size(), 3u);
    EXPECT_EQ(control[2]["bRequest"], 9);
    ExpectNothingLeft(a);
    ExpectClean();
}

TEST_F(LifecycleTest, StalledOrFailedRequestsThatCameBackDoNotStopStartUp) {
    // Control requests are judged by whether they came back: a stalled set-feature and an
    // errored get-status still count as done.
    auto& a = AddScripted();
    a.bus->Faults().ArmControl(BusFaults::ControlFault::Stall, 4);
    a.bus->Faults().ArmControl(BusFaults::ControlFault::Error, 5);
    EXPECT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const auto control = recorder_.Of("control");
    ASSERT_GT(control.size(), 6u);
    EXPECT_EQ(control[3]["bRequest"], 3);
    EXPECT_EQ(control[3]["result"], "stall");
    EXPECT_EQ(control[4]["bRequest"], 0);
    EXPECT_EQ(control[4]["result"], "error");
    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

TEST_F(LifecycleTest, AnAllocationFailureLateInStartUpReleasesEverythingTaken) {
    // The pools come after the configuration buffers and the descriptor block; the packets
    // after the pools. Each failure answers resources and leaves nothing.
    const host::sim::AllocKind kinds[] = {host::sim::AllocKind::PacketPool,
                                          host::sim::AllocKind::BufferPool,
                                          host::sim::AllocKind::Packet,
                                          host::sim::AllocKind::Buffer};
    for (auto kind : kinds) {
        auto& a = AddScripted(std::string(host::sim::AllocKindName(kind)),
                              host::ndis::Registry{{"NetworkAddress", std::string("02-AA-BB-CC-DD-EE")}});
        const uint64_t injected = world_.Faults().Injected();
        world_.Faults().Arm(kind, kind == host::sim::AllocKind::Buffer ? 5 : 1);
        EXPECT_EQ(world_.Ndis().Initialize(a), kResources) << AllocKindName(kind);
        EXPECT_EQ(world_.Faults().Injected(), injected + 1);
        // Before the failure the device had been configured, the registry read (its override is
        // the node address the device got) and the multicast hash opened.
        EXPECT_EQ(RegisterWrites(recorder_, 0x10), std::vector<std::string>{"02aabbccddee"})
            << AllocKindName(kind);
        EXPECT_EQ(RegisterWrites(recorder_, 0x08), std::vector<std::string>{"ffffffffffffffff"})
            << AllocKindName(kind);
        ExpectNothingLeft(a);
        recorder_.Clear();
    }
    ExpectClean();
}

TEST_F(LifecycleTest, NoShutdownHandlerOrTimerSurvivesAFailedInitialize) {
    auto& a = AddScripted();
    world_.Faults().Arm(host::sim::AllocKind::Memory, 3);  // the configuration buffer
    EXPECT_EQ(world_.Ndis().Initialize(a), kResources);
    EXPECT_EQ(a.shutdownHandler, nullptr);
    ExpectNothingLeft(a);
    // Nothing of the adapter fires later either.
    world_.RunFor(10'000'000);
    ExpectNothingLeft(a);
    ExpectClean();
}

// ---- the running adapter ----

TEST_F(LifecycleTest, InitializeSetsAttributesAndLeavesALinkIndicationOwed) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const AdapterRecord& r = RecordOf(a);

    EXPECT_TRUE(a.attributesSet);
    EXPECT_EQ(a.hangSeconds, 4u);
    EXPECT_EQ(a.attributeFlags, 0x33u);
    EXPECT_EQ(a.interfaceType, NdisInterfaceInternal);
    EXPECT_EQ(r.MiniportAdapterHandle, a.Handle());
    EXPECT_EQ(r.WrapperConfigurationContext, static_cast<NDIS_HANDLE>(&a.wrapperConfig));

    EXPECT_EQ(r.AdapterState, 12u);
    EXPECT_EQ(r.LinkState, 6u);
    EXPECT_EQ(r.IndicatedLinkState, 5u);
    EXPECT_EQ(r.LinkChangePending, 1u);
    EXPECT_EQ(r.ReceiveStarted, 1u);

    // Only the link poll is armed; the record is the context of every timer and of shutdown.
    EXPECT_TRUE(world_.Ndis().TimerArmed(&r.LinkPollTimer));
    EXPECT_FALSE(world_.Ndis().TimerArmed(&r.ReceiveTimer));
    EXPECT_FALSE(world_.Ndis().TimerArmed(&r.MediaDelayTimer));
    EXPECT_FALSE(world_.Ndis().TimerArmed(&r.KeepAliveTimer));
    EXPECT_EQ(world_.Ndis().ArmedTimers(a.id), 1u);
    EXPECT_EQ(r.ReceiveTimer.MiniportTimerContext, a.context);
    EXPECT_EQ(r.MediaDelayTimer.MiniportTimerContext, a.context);
    EXPECT_EQ(r.LinkPollTimer.MiniportTimerContext, a.context);
    EXPECT_NE(a.shutdownHandler, nullptr);
    EXPECT_EQ(a.shutdownContext, a.context);

    // The record carries its fixed tag and is the adapter's; it sits second in the ledger,
    // behind the first block.
    const host::kernel::Resource* res = world_.Kernel().Find(a.context);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->tag, MAKE_POOL_TAG('0', 'y', 't', 'R'));
    EXPECT_EQ(res->size, sizeof(AdapterRecord));
    EXPECT_EQ(res->adapter, a.id);
    const LedgerEntry* tail = r.UsedEntries.Tail;
    ASSERT_NE(tail, nullptr);
    ASSERT_NE(tail->Prev, nullptr);
    EXPECT_EQ(tail->Prev->Kind, LEDGER_MEMORY_BLOCK);
    EXPECT_EQ(tail->Prev->Payload.Memory.Address, a.context);
    EXPECT_EQ(tail->Prev->Payload.Memory.Length, sizeof(AdapterRecord));

    // The link poll fires three seconds in.
    world_.RunFor(2'999'000);
    EXPECT_TRUE(world_.Ndis().TimerArmed(&r.LinkPollTimer));
    world_.Ndis().Halt(a);
    ExpectClean();
}

TEST_F(LifecycleTest, AFreshRecordIsZeroExceptWhatInitializeAndStartUpSet) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const AdapterRecord& r = RecordOf(a);

    // Every byte outside these fields (padding included) must still hold the zero-fill.
    std::vector<bool> mayBeSet(sizeof(AdapterRecord), false);
    auto allow = [&](size_t offset, size_t size) {
        for (size_t i = 0; i < size; ++i) mayBeSet[offset + i] = true;
    };
#define ALLOW(field) allow(offsetof(AdapterRecord, field), sizeof(AdapterRecord::field))
    ALLOW(TxDescriptorCount);
    ALLOW(RxDescriptorCount);
    ALLOW(TxFreeList);
    ALLOW(RxFreeList);
    ALLOW(CurrentAddress);
    ALLOW(IndicatedLinkState);
    ALLOW(ActivePhyId);
    ALLOW(ActivePhyAddress);
    ALLOW(EthernetPhyIndex);
    ALLOW(PhoneLinePhyIndex);
    ALLOW(MediaChoiceMode);
    ALLOW(PhyCount);
    ALLOW(PhyIdTable);
    ALLOW(PhyAddressTable);
    ALLOW(PhoneLineSelected);
    ALLOW(LinkState);
    ALLOW(SpeedCode);
    ALLOW(DuplexCode);
    ALLOW(AdapterState);
    ALLOW(PermanentAddress);
    ALLOW(PhysicalDeviceObject);
    ALLOW(FunctionalDeviceObject);
    ALLOW(NextDeviceObject);
    ALLOW(IrpStackSize);
    ALLOW(DeviceDescriptor);
    ALLOW(ConfigurationDescriptor);
    ALLOW(ConfigurationHandle);
    ALLOW(InterfaceInfo);
    ALLOW(RegisterReadBuffer);
    ALLOW(RegisterWriteBuffer);
    ALLOW(PendingIrpLock);
    ALLOW(BulkOutLock);
    ALLOW(PendingTxIrps);
    ALLOW(MacControl0);
    ALLOW(MacControl1);
    ALLOW(ReceiveStarted);
    ALLOW(LinkChangePending);
    ALLOW(KeepAliveEnabled);
    ALLOW(NextStep);
    ALLOW(MiniportAdapterHandle);
    ALLOW(WrapperConfigurationContext);
    ALLOW(TxLock);
    ALLOW(RxLock);
    ALLOW(ReceiveTimer);
    ALLOW(MediaDelayTimer);
    ALLOW(LinkPollTimer);
    ALLOW(KeepAliveTimer);
    ALLOW(RequestWatchdogTimer);
    ALLOW(InitializeDone);
    ALLOW(UsedEntries);
    ALLOW(FreeEntries);
    ALLOW(EntriesTaken);
    ALLOW(PacketsAllocated);
    ALLOW(TransfersInFlight);  // the first read
#undef ALLOW
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    for (size_t i = 0; i < sizeof(AdapterRecord); ++i) {
        if (!mayBeSet[i]) {
            EXPECT_EQ(bytes[i], 0) << "record byte " << i;
        }
    }

    // Named, since the keywords were absent: they keep the zero-fill.
    EXPECT_EQ(r.MediaTypeSetting, 0u);
    EXPECT_EQ(r.HomeLanSetting, 0u);
    EXPECT_EQ(r.AliveParameter, 0u);
    EXPECT_EQ(r.PacketFilter, 0u);
    EXPECT_EQ(r.MulticastCount, 0u);
    EXPECT_EQ(r.BulkOutOutstanding, 0);
    EXPECT_EQ(r.MediaBusy, 0u);
    EXPECT_EQ(r.RxReadyList.Count, 0u);
    // Defaults and the EEPROM address.
    EXPECT_EQ(r.TxDescriptorCount, 20u);
    EXPECT_EQ(r.RxDescriptorCount, 20u);
    const uint8_t eeprom[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(std::memcmp(r.PermanentAddress, eeprom, 6), 0);
    EXPECT_EQ(std::memcmp(r.CurrentAddress, eeprom, 6), 0);
    world_.Ndis().Halt(a);
    ExpectClean();
}

TEST_F(LifecycleTest, ReceiveDescriptorCountIsRaisedToThree) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 3}, {1, 3}, {2, 3}, {3, 3}, {7, 7}};
    for (auto [configured, expected] : cases) {
        auto& a = AddScripted("R" + std::to_string(configured),
                              host::ndis::Registry{{"RxPacketDesc", configured}});
        ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS) << configured;
        const AdapterRecord& r = RecordOf(a);
        EXPECT_EQ(r.RxDescriptorCount, expected) << configured;
        EXPECT_EQ(r.TxDescriptorCount, 20u);
        EXPECT_EQ(r.TxFreeList.Count, 20u);
        // One NDIS packet and buffer per receive descriptor.
        size_t packets = 0, buffers = 0;
        for (const auto& [addr, res] : world_.Kernel().ResourcesOf(a.id)) {
            packets += res.kind == host::kernel::ResourceKind::Packet;
            buffers += res.kind == host::kernel::ResourceKind::Buffer;
        }
        EXPECT_EQ(packets, expected) << configured;
        EXPECT_EQ(buffers, expected) << configured;
        world_.Ndis().Halt(a);
        EXPECT_EQ(LiveResources(a), 0u);
    }
    ExpectClean();
}

// ---- shutdown and halt ----

TEST_F(LifecycleTest, HaltPowersDownOnceAndFreesEverything) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    world_.RunFor(5'000'000);  // past the first link-poll tick
    EXPECT_EQ(RemoteWakeupRequests(), 0u);
    world_.Ndis().Halt(a);
    EXPECT_EQ(RemoteWakeupRequests(), 1u);
    EXPECT_EQ(world_.Ndis().ArmedTimers(a.id), 0u);
    EXPECT_EQ(a.shutdownHandler, nullptr);
    EXPECT_EQ(a.bus->Outstanding(), 0u);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

TEST_F(LifecycleTest, HaltAfterASystemShutdownDoesNotPowerDownAgain) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const AdapterRecord& r = RecordOf(a);
    world_.Ndis().Shutdown(a);
    EXPECT_EQ(r.AdapterState, 14u);
    EXPECT_EQ(RemoteWakeupRequests(), 1u);
    // Shutdown cancelled the timers; the link poll is no longer pending.
    EXPECT_EQ(world_.Ndis().ArmedTimers(a.id), 0u);
    // The handler stays registered until halt.
    EXPECT_NE(a.shutdownHandler, nullptr);

    world_.RunFor(4'000'000);
    const uint64_t haltStart = world_.NowUs();
    world_.Ndis().Halt(a);
    EXPECT_EQ(RemoteWakeupRequests(), 1u);
    // Without a second power-down, halt does not wait its second either.
    EXPECT_LT(world_.NowUs() - haltStart, 1'000'000u);
    EXPECT_EQ(a.shutdownHandler, nullptr);
    EXPECT_EQ(world_.Ndis().ArmedTimers(a.id), 0u);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

TEST_F(LifecycleTest, PowerDownAbortsAndResetsBothBulkPipesAndWaitsASecond) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const uint64_t pipeRequests = a.bus->Stats().pipeRequests;
    recorder_.Clear();
    const uint64_t start = world_.NowUs();
    world_.Ndis().Shutdown(a);
    EXPECT_EQ(a.bus->Stats().pipeRequests - pipeRequests, 4u);
    // On the bus after the remote-wake-up request: CLEAR_FEATURE(ENDPOINT_HALT) to the bulk-out
    // endpoint (0x02), then to the bulk-in endpoint (0x81), each 10 ms after its pipe's abort.
    const std::vector<Json> stops = recorder_.Where([](const Json& l) {
        return l["ev"] == "control" && (l["bRequest"] == 3 || l["bmRequestType"] == 0x02);
    });
    ASSERT_EQ(stops.size(), 3u);
    EXPECT_EQ(stops[0]["wValue"], 1) << "remote wake-up";
    EXPECT_EQ(stops[1]["wIndex"], 0x02);
    EXPECT_EQ(stops[2]["wIndex"], 0x81);
    for (size_t i = 1; i < stops.size(); ++i)
        EXPECT_GE(stops[i]["submitted_us"].get<uint64_t>(), stops[i - 1]["t_us"].get<uint64_t>() + 10'000);
    EXPECT_GE(world_.NowUs() - start, 1'020'000u);  // two 10 ms pauses and the one-second wait
    world_.Ndis().Halt(a);
    ExpectClean();
}

// Pipe resets the device never answers: each is given up after its 10 s, and the sequence goes
// on, so the bulk-in read is aborted whatever the bulk-out reset answered.
TEST_F(LifecycleTest, PipeResetsThatTimeOutDoNotKeepTheReadFromBeingAborted) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    world_.RunFor(100'000);
    ASSERT_EQ(a.bus->Outstanding(), 1u) << "the read";
    const uint64_t pipeRequests = a.bus->Stats().pipeRequests;
    // From the remote-wake-up request on, no control request is answered.
    a.bus->Faults().ArmControl(BusFaults::ControlFault::Silent, 1, 1000);
    const uint64_t start = world_.NowUs();
    world_.Ndis().Shutdown(a);
    EXPECT_EQ(a.bus->Stats().pipeRequests - pipeRequests, 4u) << "two aborts and two resets";
    EXPECT_EQ(a.bus->Outstanding(), 0u) << "the read was aborted at shutdown";
    // The set-feature request and both resets cost their 10 s each.
    EXPECT_GE(world_.NowUs() - start, 30'000'000u);
    EXPECT_LT(world_.NowUs() - start, 33'000'000u);
    // Each reset the bus ended by the cancel is on the record once, as its CLEAR_FEATURE
    // (ENDPOINT_HALT) to the pipe's endpoint, with how it ended: bulk-out's, then bulk-in's.
    std::vector<std::pair<int, std::string>> resets;
    for (const auto& l : recorder_.Of("control"))
        if (l["bmRequestType"] == 0x02 && l["bRequest"] == 1)
            resets.emplace_back(l["wIndex"].get<int>(), l["result"].get<std::string>());
    const std::vector<std::pair<int, std::string>> expected = {{0x02, "timeout"}, {0x81, "timeout"}};
    EXPECT_EQ(resets, expected);
    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

// Transfers still held at halt (the shutdown path could not get the request block its pipe
// requests share, so it aborted nothing) are aborted by halt itself, without pipe resets; as they
// come back, every return of a descriptor arms the receive timer, a send having found none free.
// Nothing of it outlives the record: no transfer, no timer.
TEST_F(LifecycleTest, TransfersStillHeldAtHaltAreAbortedByHaltAndLeaveNothing) {
    // A system clock tick of 15.625 ms, as Windows has by default: a timer armed for 0 ms falls
    // due at the next tick.
    world_.Ndis().SetTimerGranularity(15'625);
    auto& a = AddScripted("A", host::ndis::Registry{{"TxPacketDesc", 2u}});
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    world_.RunFor(100'000);
    // Sends answered 30 s late: the two descriptors stay out and later sends find none.
    a.bus->Faults().ArmBulk(BusFaults::ControlFault::Late, 1, 100, 30'000'000);
    for (int i = 0; i < 4; ++i) world_.Ndis().Send(a, std::vector<uint8_t>(60, 0x5A));
    world_.RunFor(10'000);
    ASSERT_EQ(RecordOf(a).TxFreeList.Count, 0u);
    ASSERT_EQ(RecordOf(a).TxResourcesExhausted, 1);
    const uint64_t pipeRequests = a.bus->Stats().pipeRequests;
    world_.Faults().Arm(host::sim::AllocKind::RequestBlock, 1, a.id);
    world_.Ndis().Halt(a);
    EXPECT_EQ(world_.Faults().Injected(), 1u);
    // Only aborts: a pipe reset is a control request a device may leave unanswered for its whole
    // time-out, and it releases no transfer.
    EXPECT_EQ(a.bus->Stats().pipeRequests - pipeRequests, 2u) << "halt's own aborts, once";
    EXPECT_EQ(world_.Ndis().ArmedTimers(a.id), 0u);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

TEST_F(LifecycleTest, TwoAdaptersKeepTheirOwnRecordsAndLedgers) {
    auto& a = AddScripted("A");
    auto& b = AddScripted("B", host::ndis::Registry{{"RxPacketDesc", 5u}});
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(world_.Ndis().Initialize(b), NDIS_STATUS_SUCCESS);
    ASSERT_NE(a.context, b.context);
    EXPECT_EQ(RecordOf(a).RxDescriptorCount, 20u);
    EXPECT_EQ(RecordOf(b).RxDescriptorCount, 5u);
    const size_t bResources = LiveResources(b);
    ASSERT_GT(bResources, 0u);

    world_.RunFor(4'000'000);
    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    // B lost nothing and still runs.
    EXPECT_EQ(LiveResources(b), bResources);
    EXPECT_EQ(RecordOf(b).AdapterState, 12u);
    world_.Ndis().Halt(b);
    EXPECT_EQ(LiveResources(b), 0u);
    EXPECT_EQ(world_.Kernel().LiveResources(), 0u);
    ExpectClean();
}

// ---- reset ----

TEST_F(LifecycleTest, ResetSucceedsAtOnceClearsTheCountersAndKeepsBothAddresses) {
    auto& a = AddScripted("A", host::ndis::Registry{{"NetworkAddress", std::string("02-AA-BB-CC-DD-EE")}});
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const AdapterRecord& r = RecordOf(a);
    const uint8_t permanent[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const uint8_t current[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    ASSERT_EQ(std::memcmp(r.PermanentAddress, permanent, 6), 0);
    ASSERT_EQ(std::memcmp(r.CurrentAddress, current, 6), 0);

    // The data path will produce these counts; nothing increments them yet, so the test puts
    // them in place to see the reset clear them.
    auto& counters = const_cast<AdapterRecord&>(r);
    ULONG* fields[] = {&counters.RcvOk,        &counters.RcvFlag10Count, &counters.RcvError,
                       &counters.RcvAlignError, &counters.RcvFlag06Count, &counters.XmitOk,
                       &counters.XmitError,     &counters.XmitUnderrun,   &counters.XmitOneCollision,
                       &counters.XmitDeferred};
    ULONG value = 101;
    for (ULONG* f : fields) *f = value++;
    const ULONG txCount = r.TxFreeList.Count;
    const ULONG rxDescriptors = r.RxFreeList.Count + r.RxReadyList.Count;

    BOOLEAN addressing = TRUE;
    EXPECT_EQ(world_.Ndis().Reset(a, &addressing), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(addressing, FALSE);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(*fields[i], 0u) << "statistics field " << 9 + i;
    EXPECT_EQ(std::memcmp(r.PermanentAddress, permanent, 6), 0);
    EXPECT_EQ(std::memcmp(r.CurrentAddress, current, 6), 0);
    EXPECT_EQ(r.AdapterState, 12u);
    EXPECT_EQ(r.ReceiveStarted, 1u);
    // The reset restarts the media only; descriptors stay where they were.
    EXPECT_EQ(r.TxFreeList.Count, txCount);
    EXPECT_EQ(r.RxFreeList.Count + r.RxReadyList.Count, rxDescriptors);

    world_.Ndis().Halt(a);
    EXPECT_EQ(LiveResources(a), 0u);
    ExpectClean();
}

// When each control request went down to the bus and when it came back.
struct RequestTimes : host::usb::TransferObserver {
    struct Event {
        uint64_t t_us;
        bool completed;
        host::usb::Setup setup;
    };
    explicit RequestTimes(host::world::World& w) : world(w) {}
    void Submitted(int, const host::usb::TransferRecord& t) override {
        if (t.hasSetup) events.push_back({world.NowUs(), false, t.setup});
    }
    void Completed(int, const host::usb::TransferRecord& t) override {
        if (t.hasSetup) events.push_back({world.NowUs(), true, t.setup});
    }
    host::world::World& world;
    std::vector<Event> events;
};

TEST_F(LifecycleTest, ResetRestartsTheMacAndIndicatesTheLinkAgain) {
    auto& a = AddScripted();
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    const size_t statuses = a.protocol.statuses.size();
    ASSERT_GE(statuses, 1u);  // start-up indicated the link once
    recorder_.Clear();
    RequestTimes times(world_);
    a.bus->AddObserver(&times);
    ASSERT_EQ(world_.Ndis().Reset(a), NDIS_STATUS_SUCCESS);
    a.bus->RemoveObserver(&times);
    // The MAC reset pulse writes register 0, then 1; the MAC mode write follows.
    std::vector<int> macWrites;
    for (const auto& l : recorder_.Of("control"))
        if (l["bRequest"] == 0xF1 && l["wIndex"].get<int>() <= 0x01) macWrites.push_back(l["wIndex"]);
    ASSERT_GE(macWrites.size(), 3u);
    EXPECT_EQ(macWrites[0], 0x00);
    EXPECT_EQ(macWrites[1], 0x01);
    EXPECT_EQ(macWrites.back(), 0x00);
    // Each write of the pulse is followed by a millisecond before the next request goes down
    // (with no PHY, the next one after the pulse is the MAC mode write).
    // Events: the write to 0 goes down and comes back, then the write to 1, then the next one.
    const auto& e = times.events;
    ASSERT_GE(e.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(e[i].completed, i % 2 == 1) << i;
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(e[i].setup.bRequest, 0xF1) << i;
    EXPECT_EQ(e[1].setup.wIndex, 0x00);
    EXPECT_EQ(e[3].setup.wIndex, 0x01);
    EXPECT_GE(e[2].t_us - e[1].t_us, 1000u);
    EXPECT_GE(e[4].t_us - e[3].t_us, 1000u);
    EXPECT_EQ(a.protocol.statuses.size(), statuses + 1);
    EXPECT_EQ(RecordOf(a).LinkChangePending, 0u);
    world_.Ndis().Halt(a);
    ExpectClean();
}

}  // namespace
