// The NDIS wrapper as a miniport meets it: configuration, packet and buffer pools, timers in
// virtual time, allocation fault plans, the levels handlers are called at and the protocol's
// send queue.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/platform_fixture.h"

namespace {

using host::sim::AllocKind;
using testing_support::StubMiniport;

NDIS_STRING Keyword(std::u16string& text) {
    return NDIS_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                       text.data()};
}

class NdisWrapperTest : public testing_support::PlatformTest {
protected:
    host::ndis::Adapter& adapter_ =
        AddScripted("A", {{"ConnectionType", uint32_t{3}},
                          {"Speed", std::string("14")},
                          {"Name", std::string("nic")},
                          {"NetworkAddress", std::string("02-00-00-00-00-01")}});

    NDIS_HANDLE Open(host::ndis::Adapter& a) {
        NDIS_STATUS s = NDIS_STATUS_FAILURE;
        NDIS_HANDLE h = nullptr;
        NdisOpenConfiguration(&s, &h, &a.wrapperConfig);
        EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
        return h;
    }
    // Reads `keyword` as `type`; the parameter is null when the read failed.
    PNDIS_CONFIGURATION_PARAMETER Read(NDIS_HANDLE h, std::u16string keyword,
                                       NDIS_PARAMETER_TYPE type) {
        NDIS_STATUS s = NDIS_STATUS_SUCCESS;
        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        NDIS_STRING name = Keyword(keyword);
        NdisReadConfiguration(&s, &value, h, &name, type);
        return s == NDIS_STATUS_SUCCESS ? value : nullptr;
    }
    std::vector<uint8_t> ReadAddress(host::ndis::Adapter& a, NDIS_STATUS& status) {
        NDIS_HANDLE h = Open(a);
        PVOID address = nullptr;
        UINT length = 0;
        NdisReadNetworkAddress(&status, &address, &length, h);
        std::vector<uint8_t> out;
        if (status == NDIS_STATUS_SUCCESS)
            out.assign(static_cast<uint8_t*>(address), static_cast<uint8_t*>(address) + length);
        NdisCloseConfiguration(h);
        return out;
    }
};

// ---- configuration ----

TEST_F(NdisWrapperTest, ConfigurationReadsIntegersAndTextTheWayNdisDoes) {
    NDIS_HANDLE h = Open(adapter_);
    ASSERT_NE(Kernel().Find(h), nullptr) << "an open configuration is a resource until closed";

    auto* v = Read(h, u"ConnectionType", NdisParameterInteger);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ParameterType, NdisParameterInteger);
    EXPECT_EQ(v->ParameterData.IntegerData, 3u);

    for (const char16_t* spelling : {u"connectiontype", u"CONNECTIONTYPE", u"cOnNeCtIoNtYpE"}) {
        v = Read(h, spelling, NdisParameterInteger);
        ASSERT_NE(v, nullptr) << "keywords match whatever their case";
        EXPECT_EQ(v->ParameterData.IntegerData, 3u);
    }

    v = Read(h, u"Speed", NdisParameterHexInteger);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ParameterType, NdisParameterHexInteger);
    EXPECT_EQ(v->ParameterData.IntegerData, 20u) << "\"14\" read as hex";
    v = Read(h, u"Speed", NdisParameterInteger);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ParameterData.IntegerData, 14u) << "\"14\" read as decimal";

    v = Read(h, u"Name", NdisParameterString);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ParameterType, NdisParameterString);
    EXPECT_EQ(std::u16string(v->ParameterData.StringData.Buffer,
                             v->ParameterData.StringData.Length / 2),
              u"nic");

    EXPECT_EQ(Read(h, u"Missing", NdisParameterInteger), nullptr);
    EXPECT_EQ(Read(h, u"Name", NdisParameterInteger), nullptr) << "text that is no number";
    EXPECT_EQ(Read(h, u"ConnectionType", NdisParameterString), nullptr);

    NdisCloseConfiguration(h);
    EXPECT_EQ(Kernel().LiveResources(), 0u);
    ExpectClean();
}

TEST_F(NdisWrapperTest, NetworkAddressIsReadAsHexDigitPairs) {
    NDIS_STATUS s = NDIS_STATUS_FAILURE;
    EXPECT_EQ(ReadAddress(adapter_, s), (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);

    auto& colons = AddScripted("B", {{"NetworkAddress", std::string("0a:1B:2c:3D:4e:5F")}});
    EXPECT_EQ(ReadAddress(colons, s), (std::vector<uint8_t>{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);

    auto& odd = AddScripted("C", {{"NetworkAddress", std::string("02-00-00-00-00-1")}});
    ReadAddress(odd, s);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE) << "an odd number of digits";

    auto& junk = AddScripted("D", {{"NetworkAddress", std::string("02-00-00-00-00-0g")}});
    ReadAddress(junk, s);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);

    auto& none = AddScripted("E");
    ReadAddress(none, s);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
    EXPECT_EQ(Kernel().LiveResources(), 0u);
    ExpectClean();
}

// ---- packets and buffers ----

TEST_F(NdisWrapperTest, PoolsLendNoMoreThanTheirCapacity) {
    NDIS_STATUS s;
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    NdisAllocatePacketPool(&s, &packets, 2, 0);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    NdisAllocateBufferPool(&s, &buffers, 1);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);

    PNDIS_PACKET p1 = nullptr, p2 = nullptr, p3 = nullptr;
    NdisAllocatePacket(&s, &p1, packets);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    NdisAllocatePacket(&s, &p2, packets);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    NdisAllocatePacket(&s, &p3, packets);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(p3, nullptr);
    NdisFreePacket(p1);
    NdisAllocatePacket(&s, &p3, packets);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS) << "a returned descriptor can be lent again";

    uint8_t data[32];
    PNDIS_BUFFER b1 = nullptr, b2 = nullptr;
    NdisAllocateBuffer(&s, &b1, buffers, data, sizeof data);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    NdisAllocateBuffer(&s, &b2, buffers, data, sizeof data);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(b2, nullptr);

    NdisFreePacket(p2);
    NdisFreePacket(p3);
    NdisFreeBuffer(b1);
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
    EXPECT_EQ(Kernel().LiveResources(), 0u);
    ExpectClean();
}

TEST_F(NdisWrapperTest, OutOfBandDataLiesPastTheProtocolAreaInsideThePacket) {
    constexpr UINT kReserved = 24;
    NDIS_STATUS s;
    NDIS_HANDLE pool = nullptr;
    PNDIS_PACKET p = nullptr;
    NdisAllocatePacketPool(&s, &pool, 1, kReserved);
    NdisAllocatePacket(&s, &p, pool);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(p), NDIS_STATUS_SUCCESS) << "a fresh packet has clear OOB data";

    NDIS_SET_PACKET_HEADER_SIZE(p, 14);
    NDIS_SET_PACKET_STATUS(p, NDIS_STATUS_RESOURCES);
    std::memset(p->ProtocolReserved, 0xCC, kReserved);
    std::memset(p->MiniportReserved, 0xDD, sizeof p->MiniportReserved);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(p), 14u);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(p), NDIS_STATUS_RESOURCES);

    size_t room = 0;
    ASSERT_TRUE(Kernel().BytesAvailable(NDIS_OOB_DATA_FROM_PACKET(p), room));
    EXPECT_GE(room, sizeof(NDIS_PACKET_OOB_DATA));
    NdisFreePacket(p);
    NdisFreePacketPool(pool);
    ExpectClean();
}

TEST_F(NdisWrapperTest, QueryPacketCountsTheChainAgainAfterABufferIsChainedAtTheFront) {
    alignas(4096) static uint8_t pages[2 * 4096];
    NDIS_STATUS s;
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    PNDIS_PACKET p = nullptr;
    PNDIS_BUFFER tail = nullptr, middle = nullptr, head = nullptr;
    NdisAllocatePacketPool(&s, &packets, 1, 0);
    NdisAllocateBufferPool(&s, &buffers, 3);
    NdisAllocatePacket(&s, &p, packets);
    NdisAllocateBuffer(&s, &tail, buffers, pages, 100);
    NdisAllocateBuffer(&s, &middle, buffers, pages + 4090, 20);  // crosses a page boundary
    NdisAllocateBuffer(&s, &head, buffers, pages + 200, 14);

    UINT physical = 99, count = 99, total = 99;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(p, &physical, &count, &first, &total);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(first, nullptr);

    NdisChainBufferAtFront(p, tail);
    NdisChainBufferAtFront(p, middle);
    NdisQueryPacket(p, &physical, &count, &first, &total);
    EXPECT_EQ(first, middle);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(total, 120u);
    EXPECT_EQ(physical, 3u);

    NdisChainBufferAtFront(p, head);
    NdisQueryPacket(p, &physical, &count, &first, &total);
    EXPECT_EQ(first, head);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 134u);
    EXPECT_EQ(physical, 4u);
    EXPECT_EQ(p->Private.Tail, tail);

    PNDIS_BUFFER next = nullptr;
    NdisGetNextBuffer(head, &next);
    EXPECT_EQ(next, middle);
    NdisAdjustBufferLength(head, 6);
    PVOID va = nullptr;
    UINT length = 0;
    NdisQueryBuffer(head, &va, &length);
    EXPECT_EQ(va, pages + 200);
    EXPECT_EQ(length, 6u);

    NdisFreeBuffer(head);
    NdisFreeBuffer(middle);
    NdisFreeBuffer(tail);
    NdisFreePacket(p);
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
    ExpectClean();
}

// ---- timers ----

struct TimerLog {
    std::vector<uint64_t> at;
    std::vector<KIRQL> irql;
    std::vector<int> adapter;
    std::vector<PVOID> context;
    static VOID NTAPI Handler(PVOID, PVOID context, PVOID, PVOID) {
        auto* log = static_cast<TimerLog*>(context);
        log->at.push_back(host::world::Current().NowUs());
        log->irql.push_back(KeGetCurrentIrql());
        log->adapter.push_back(host::world::CurrentKernel().CurrentAdapter());
        log->context.push_back(context);
    }
};

TEST_F(NdisWrapperTest, TimerFiresItsHandlerAtDispatchAfterExactlyTheDelay) {
    TimerLog log;
    NDIS_MINIPORT_TIMER timer;
    NdisMInitializeTimer(&timer, adapter_.Handle(), &TimerLog::Handler, &log);
    world_.RunFor(1234);
    NdisMSetTimer(&timer, 25);
    EXPECT_TRUE(world_.Ndis().TimerArmed(&timer));
    world_.RunFor(25'000 - 1);
    EXPECT_TRUE(log.at.empty());
    world_.RunFor(1);
    ASSERT_EQ(log.at.size(), 1u);
    EXPECT_EQ(log.at[0], 1234u + 25'000u);
    EXPECT_EQ(log.irql[0], DISPATCH_LEVEL);
    EXPECT_EQ(log.adapter[0], adapter_.id) << "the handler works for the timer's adapter";
    EXPECT_EQ(log.context[0], &log);
    EXPECT_FALSE(world_.Ndis().TimerArmed(&timer)) << "one shot";
    world_.RunFor(100'000);
    EXPECT_EQ(log.at.size(), 1u);
    ExpectClean();
}

TEST_F(NdisWrapperTest, SettingAnArmedTimerAgainReplacesItsDueTime) {
    TimerLog log;
    NDIS_MINIPORT_TIMER timer;
    NdisMInitializeTimer(&timer, adapter_.Handle(), &TimerLog::Handler, &log);
    NdisMSetTimer(&timer, 25);
    world_.RunFor(10'000);
    NdisMSetTimer(&timer, 5);
    world_.RunFor(100'000);
    EXPECT_EQ(log.at, (std::vector<uint64_t>{15'000}));

    // Re-arming later than the first due time pushes it back.
    NdisMSetTimer(&timer, 5);
    world_.RunFor(2'000);
    NdisMSetTimer(&timer, 50);
    world_.RunFor(100'000);
    EXPECT_EQ(log.at, (std::vector<uint64_t>{15'000, 110'000 + 2'000 + 50'000}));
    ExpectClean();
}

TEST_F(NdisWrapperTest, CancelTimerSaysWhetherTheTimerWasPending) {
    TimerLog log;
    NDIS_MINIPORT_TIMER timer;
    NdisMInitializeTimer(&timer, adapter_.Handle(), &TimerLog::Handler, &log);
    BOOLEAN cancelled = TRUE;
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled) << "never set";

    NdisMSetTimer(&timer, 10);
    world_.RunFor(5'000);
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_TRUE(cancelled);
    world_.RunFor(50'000);
    EXPECT_TRUE(log.at.empty());

    NdisMSetTimer(&timer, 10);
    world_.RunFor(50'000);
    ASSERT_EQ(log.at.size(), 1u);
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled) << "already fired";
    ExpectClean();
}

// ---- allocation fault plans ----

TEST_F(NdisWrapperTest, FaultPlanFailsExactlyTheNthAllocationOfItsKind) {
    auto& faults = world_.Faults();
    faults.Arm(AllocKind::Memory, 3);
    std::vector<NDIS_STATUS> results;
    std::vector<PVOID> blocks;
    for (int i = 0; i < 5; ++i) {
        PVOID p = reinterpret_cast<PVOID>(1);
        results.push_back(NdisAllocateMemoryWithTag(&p, 8, MAKE_POOL_TAG('F', 'l', 't', ' ')));
        blocks.push_back(p);
        // Other kinds do not count toward the memory plan.
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0));
    }
    EXPECT_EQ(results, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS,
                                                 NDIS_STATUS_FAILURE, NDIS_STATUS_SUCCESS,
                                                 NDIS_STATUS_SUCCESS}));
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_EQ(faults.Injected(), 1u);
    EXPECT_EQ(faults.Count(AllocKind::Memory), 5u);
    EXPECT_EQ(faults.Count(AllocKind::RequestBlock), 5u);
    EXPECT_FALSE(faults.Armed());
    for (PVOID p : blocks)
        if (p) NdisFreeMemory(p, 8, 0);
    ExpectClean();
}

TEST_F(NdisWrapperTest, FaultPlansReachEveryAllocatorTheyName) {
    auto& faults = world_.Faults();
    NDIS_STATUS s;

    faults.Arm(AllocKind::Irp, 2);
    PIRP first = IoAllocateIrp(1, FALSE);
    EXPECT_NE(first, nullptr);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                            adapter_.bus->DeviceObject(), nullptr, 0, nullptr, 0,
                                            TRUE, &event, &iosb),
              nullptr);
    IoFreeIrp(first);

    faults.Arm(AllocKind::RequestBlock, 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, 0), nullptr);

    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    faults.Arm(AllocKind::PacketPool, 1);
    NdisAllocatePacketPool(&s, &packets, 4, 0);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    NdisAllocatePacketPool(&s, &packets, 4, 0);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    faults.Arm(AllocKind::BufferPool, 1);
    NdisAllocateBufferPool(&s, &buffers, 4);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    NdisAllocateBufferPool(&s, &buffers, 4);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);

    PNDIS_PACKET packet = nullptr;
    faults.Arm(AllocKind::Packet, 1);
    NdisAllocatePacket(&s, &packet, packets);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    NdisAllocatePacket(&s, &packet, packets);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);

    uint8_t data[8];
    PNDIS_BUFFER buffer = nullptr;
    faults.Arm(AllocKind::Buffer, 1);
    NdisAllocateBuffer(&s, &buffer, buffers, data, sizeof data);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    NdisAllocateBuffer(&s, &buffer, buffers, data, sizeof data);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);

    EXPECT_EQ(faults.Injected(), 6u);
    NdisFreeBuffer(buffer);
    NdisFreePacket(packet);
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
    EXPECT_EQ(Kernel().LiveResources(), 0u);
    ExpectClean();
}

TEST_F(NdisWrapperTest, FaultPlanForOneAdapterSparesTheOthers) {
    world_.Faults().Arm(AllocKind::Memory, 1, /*adapter=*/1);
    PVOID a = nullptr, b = nullptr;
    NDIS_STATUS sa = NDIS_STATUS_FAILURE, sb = NDIS_STATUS_SUCCESS;
    AtPassive([&] { sa = NdisAllocateMemoryWithTag(&a, 8, 0); }, 0);
    AtPassive([&] { sb = NdisAllocateMemoryWithTag(&b, 8, 0); }, 1);
    EXPECT_EQ(sa, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(sb, NDIS_STATUS_FAILURE);
    NdisFreeMemory(a, 8, 0);
    ExpectClean();
}

// ---- handler levels and the protocol's send queue ----

TEST_F(NdisWrapperTest, HandlersRunAtTheLevelsNdisUses) {
    StubMiniport stub;
    std::vector<std::pair<std::string, KIRQL>> calls;
    auto init = stub.initialize;
    stub.initialize = [&, init](NDIS_HANDLE h) {
        calls.emplace_back("initialize", KeGetCurrentIrql());
        EXPECT_EQ(host::world::CurrentKernel().CurrentAdapter(), adapter_.id);
        return init(h);
    };
    stub.query = [&](NDIS_OID, PVOID, ULONG, PULONG written, PULONG) {
        calls.emplace_back("query", KeGetCurrentIrql());
        *written = 0;
        return NDIS_STATUS_SUCCESS;
    };
    stub.send = [&](NDIS_HANDLE, PNDIS_PACKET) {
        calls.emplace_back("send", KeGetCurrentIrql());
        return NDIS_STATUS_SUCCESS;
    };
    auto halt = stub.halt;
    stub.halt = [&, halt](NDIS_HANDLE c) {
        calls.emplace_back("halt", KeGetCurrentIrql());
        halt(c);
    };
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    world_.Ndis().Query(adapter_, OID_GEN_LINK_SPEED, 4);
    world_.Ndis().Send(adapter_, std::vector<uint8_t>(60, 1));
    world_.Ndis().Halt(adapter_);
    const std::vector<std::pair<std::string, KIRQL>> expected = {{"initialize", PASSIVE_LEVEL},
                                                                 {"query", DISPATCH_LEVEL},
                                                                 {"send", DISPATCH_LEVEL},
                                                                 {"halt", PASSIVE_LEVEL}};
    EXPECT_EQ(calls, expected);
    ExpectClean();
}

TEST_F(NdisWrapperTest, PacketRefusedForResourcesStaysAtTheHeadAndIsOfferedAgainAMillisecondLater) {
    StubMiniport stub;
    std::vector<std::pair<uint8_t, uint64_t>> offers;  // first payload byte, time
    int refusals = 1;
    stub.send = [&](NDIS_HANDLE, PNDIS_PACKET p) {
        PVOID va = nullptr;
        UINT len = 0;
        NdisQueryBuffer(p->Private.Head, &va, &len);
        offers.emplace_back(static_cast<uint8_t*>(va)[0], world_.NowUs());
        if (refusals > 0) {
            --refusals;
            return NDIS_STATUS_RESOURCES;
        }
        return NDIS_STATUS_SUCCESS;
    };
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    world_.RunFor(500);
    world_.Ndis().Send(adapter_, std::vector<uint8_t>(60, 1));
    world_.Ndis().Send(adapter_, std::vector<uint8_t>(60, 2));
    world_.RunFor(5'000);
    const std::vector<std::pair<uint8_t, uint64_t>> expected = {{1, 500}, {1, 1500}, {2, 1500}};
    EXPECT_EQ(offers, expected);
    EXPECT_EQ(adapter_.protocol.sends.resourcesAnswers, 1u);
    EXPECT_EQ(adapter_.protocol.sends.completed, 2u);
    world_.Ndis().Halt(adapter_);
    ExpectClean();
}

// NDIS hands a miniport one query or set at a time: a request issued while another is pended
// waits until NdisMQueryInformationComplete has ended that one, its caller gets the completion's
// status, and the trace marks it pended. A halt waits for a pended request too.
TEST_F(NdisWrapperTest, ARequestWaitsUntilThePendedOneBeforeItIsCompleted) {
    StubMiniport stub;
    NDIS_HANDLE handle = nullptr;
    auto init = stub.initialize;
    stub.initialize = [&, init](NDIS_HANDLE h) {
        handle = h;
        return init(h);
    };
    std::vector<std::pair<NDIS_OID, uint64_t>> entered;
    stub.query = [&](NDIS_OID oid, PVOID, ULONG, PULONG written, PULONG) {
        entered.emplace_back(oid, world_.NowUs());
        *written = 0;
        return oid == OID_GEN_LINK_SPEED ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS;
    };
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    const uint64_t t0 = world_.NowUs();
    NDIS_STATUS second = NDIS_STATUS_PENDING;
    world_.Scheduler().At(t0 + 1'000, [&] {
        second = world_.Ndis().Query(adapter_, OID_GEN_MEDIA_CONNECT_STATUS, 4).status;
    });
    world_.Scheduler().At(t0 + 5'000, [&] { NdisMQueryInformationComplete(handle, NDIS_STATUS_FAILURE); });
    EXPECT_EQ(world_.Ndis().Query(adapter_, OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_FAILURE);
    world_.RunFor(10'000);
    const std::vector<std::pair<NDIS_OID, uint64_t>> expected = {
        {OID_GEN_LINK_SPEED, t0}, {OID_GEN_MEDIA_CONNECT_STATUS, t0 + 5'000}};
    EXPECT_EQ(entered, expected);
    EXPECT_EQ(second, NDIS_STATUS_SUCCESS);
    const auto lines = recorder_.Where([](const host::trace::Json& l) {
        return l["ev"] == "miniport" && l["call"] == "MiniportQueryInformation";
    });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["t_us"], t0 + 5'000);
    EXPECT_EQ(lines[0]["pended"], true);
    EXPECT_EQ(lines[0]["status"], "0xC0000001");
    EXPECT_FALSE(lines[1].contains("pended"));

    // Pended again, with a halt due meanwhile: the halt begins only once it is completed.
    const uint64_t t1 = world_.NowUs();
    world_.Scheduler().At(t1 + 1'000, [&] { world_.Ndis().Halt(adapter_); });
    world_.Scheduler().At(t1 + 3'000, [&] { NdisMQueryInformationComplete(handle, NDIS_STATUS_SUCCESS); });
    EXPECT_EQ(world_.Ndis().Query(adapter_, OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_SUCCESS);
    world_.RunFor(5'000);
    EXPECT_EQ(adapter_.state, host::ndis::AdapterState::Halted);
    const auto halts = recorder_.Where([](const host::trace::Json& l) {
        return l["ev"] == "handler_start" && l["call"] == "MiniportHalt";
    });
    ASSERT_EQ(halts.size(), 1u);
    EXPECT_EQ(halts[0]["t_us"], t1 + 3'000);
    ExpectClean();
}

}  // namespace
