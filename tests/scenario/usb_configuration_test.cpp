// USB configuration at start-up against the adapter model: descriptor requests, the choice of
// configuration and pipes, and how start-up meets devices that stall, fail or never answer.
#include <gtest/gtest.h>

#include "driver/usb/configuration.h"
#include "driver/usb/sync_request.h"
#include "tests/support/platform_fixture.h"
#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace {

using host::device::DeviceConfig;
using host::device::EndpointSpec;
using testing_support::Controls;

// The header length of the select-configuration request as it reaches the bus. The bus keys
// each request it is told of by the IRP that carries it.
struct SelectConfigurationLength : host::usb::TransferObserver {
    int requests = 0;
    USHORT length = 0;
    void Submitted(int, const host::usb::TransferRecord& t) override {
        if (!t.hasSetup || t.setup.bmRequestType != 0x00 || t.setup.bRequest != 9) return;
        auto* irp = static_cast<PIRP>(const_cast<void*>(t.key));
        const auto* urb =
            static_cast<const URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        ++requests;
        length = urb->UrbHeader.Length;
    }
    void Completed(int, const host::usb::TransferRecord&) override {}
};

class UsbConfigurationTest : public testing_support::WorldTest {
protected:
    NDIS_STATUS Initialize(DeviceConfig config) {
        adapter_ = &AddModelled("A", std::move(config), {}, &device_);
        return world_.Ndis().Initialize(*adapter_);
    }
    size_t SetConfigurationRequests() const {
        return recorder_.Where([](const auto& l) {
                                   return l["ev"] == "control" && l["bmRequestType"] == 0 &&
                                          l["bRequest"] == 9;
                               })
            .size();
    }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
};

TEST_F(UsbConfigurationTest, ThreePipesConfigureAndKeepTheirHandles) {
    adapter_ = &AddModelled("A", DeviceConfig{}, {}, &device_);
    SelectConfigurationLength select;
    adapter_->bus->AddObserver(&select);
    ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
    adapter_->bus->RemoveObserver(&select);
    // The request carries one interface with its three pipes: the published size of a
    // select-configuration request for one interface and three pipes.
    EXPECT_EQ(select.requests, 1);
    EXPECT_EQ(select.length,
              sizeof(struct _URB_SELECT_CONFIGURATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
    const AdapterRecord& r = RecordOf(*adapter_);
    EXPECT_EQ(r.IrpStackSize, adapter_->bus->DeviceObject()->StackSize + 1);
    EXPECT_EQ(std::vector<UCHAR>(r.DeviceDescriptor, r.DeviceDescriptor + 18),
              device_->DeviceDescriptor());
    ASSERT_NE(r.InterfaceInfo, nullptr);
    EXPECT_EQ(r.InterfaceInfo->NumberOfPipes, 3u);
    EXPECT_EQ(r.InterfaceInfo->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(r.InterfaceInfo->Pipes[0].MaximumTransferSize, 0x600u);
    EXPECT_EQ(r.InterfaceInfo->Pipes[1].MaximumTransferSize, 0x600u);
    EXPECT_EQ(r.InterfaceInfo->Pipes[2].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_NE(r.ConfigurationHandle, nullptr);
    EXPECT_EQ(device_->ConfigurationValue(), 1);

    // Device descriptor, then 255 bytes of configuration, select, set-feature 0, get-status.
    const auto c = Controls(recorder_);
    ASSERT_GE(c.size(), 5u);
    EXPECT_EQ(c[0]["wValue"], 0x0100);
    EXPECT_EQ(c[0]["wLength"], 18);
    EXPECT_EQ(c[1]["wValue"], 0x0200);
    EXPECT_EQ(c[1]["wLength"], 255);
    EXPECT_EQ(c[2]["bRequest"], 9);
    EXPECT_EQ(c[3]["bRequest"], 3);
    EXPECT_EQ(c[3]["wValue"], 0);
    EXPECT_EQ(c[4]["bRequest"], 0);
    EXPECT_EQ(c[4]["wLength"], 2);
    world_.Ndis().Halt(*adapter_);
    ExpectClean();
}

TEST_F(UsbConfigurationTest, StalledSetFeatureDoesNotStopStartUp) {
    // The model stalls feature selector 0: there is no such device feature.
    ASSERT_EQ(Initialize(DeviceConfig{}), NDIS_STATUS_SUCCESS);
    const auto features = Controls(recorder_, 3);
    ASSERT_FALSE(features.empty());
    EXPECT_EQ(features[0]["result"], "stall");
    world_.Ndis().Halt(*adapter_);
    ExpectClean();
}

TEST_F(UsbConfigurationTest, WrongEndpointCountFailsBeforeSelectConfiguration) {
    for (const auto& endpoints : {std::vector<EndpointSpec>{{0x81, 2}, {0x02, 2}},
                                  std::vector<EndpointSpec>{{0x81, 2}, {0x02, 2}, {0x83, 3}, {0x04, 2}}}) {
        recorder_.Clear();
        DeviceConfig config;
        config.endpoints = endpoints;
        auto& a = AddModelled("E" + std::to_string(endpoints.size()), config);
        EXPECT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_RESOURCES);
        EXPECT_EQ(SetConfigurationRequests(), 0u) << endpoints.size() << " endpoints";
        EXPECT_EQ(LiveResources(a), 0u);
    }
    ExpectClean();
}

TEST_F(UsbConfigurationTest, WrongPipeTypesFailAfterSelectConfiguration) {
    // Bulk, interrupt, bulk; and three bulk pipes, with no interrupt pipe at all.
    int n = 0;
    for (const auto& endpoints : {std::vector<EndpointSpec>{{0x81, 2}, {0x83, 3}, {0x02, 2}},
                                  std::vector<EndpointSpec>{{0x81, 2}, {0x02, 2}, {0x83, 2}}}) {
        recorder_.Clear();
        DeviceConfig config;
        config.endpoints = endpoints;
        auto& a = AddModelled("T" + std::to_string(++n), config);
        EXPECT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_RESOURCES) << n;
        EXPECT_EQ(SetConfigurationRequests(), 1u) << n;
        EXPECT_EQ(LiveResources(a), 0u) << n;
    }
    ExpectClean();
}

TEST_F(UsbConfigurationTest, LongDescriptorSetIsReadAndParsedAsItsFirst255Bytes) {
    DeviceConfig config;
    config.configPadding = 400;
    ASSERT_EQ(Initialize(config), NDIS_STATUS_SUCCESS);
    const auto reads = Controls(recorder_, 6);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[1]["wLength"], 255);
    EXPECT_EQ(reads[1]["data"].get<std::string>().size(), 2u * 255);
    world_.Ndis().Halt(*adapter_);
    ExpectClean();  // nothing parsed past the buffer
}

TEST_F(UsbConfigurationTest, UnansweredRequestTimesOutAndStartUpFailsCleanly) {
    adapter_ = &AddModelled("A", DeviceConfig{}, {}, &device_);
    // The node-address read is the sixth control request of start-up.
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 6);
    EXPECT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_RESOURCES);
    EXPECT_GE(world_.NowUs(), 10'000'000u);
    const auto reads = Controls(recorder_, 0xF0, 0x10);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["result"], "timeout");
    // It failed before the registry was read: no EEPROM access happened.
    EXPECT_TRUE(Controls(recorder_, 0xF1, 0x20).empty());
    EXPECT_EQ(LiveResources(*adapter_), 0u);
    EXPECT_EQ(adapter_->bus->Outstanding(), 0u);
    ExpectClean();
}

TEST_F(UsbConfigurationTest, SynchronousSubmissionReportsTimeoutAsIoTimeout) {
    ASSERT_EQ(Initialize(DeviceConfig{}), NDIS_STATUS_SUCCESS);
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
    AdapterRecord* r = MutableRecordOf(*adapter_);
    URB urb{};
    urb.UrbControlGetStatusRequest.Hdr.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    urb.UrbControlGetStatusRequest.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    urb.UrbControlGetStatusRequest.TransferBufferLength = 2;
    urb.UrbControlGetStatusRequest.TransferBuffer = r->RegisterReadBuffer;
    ULONG result = 0;
    AtPassive(*adapter_, [&] { result = SubmitUrbSync(r, &urb); });
    EXPECT_EQ(result, static_cast<ULONG>(STATUS_IO_TIMEOUT));

    // A request that fails at once is still "handed down and back": result 1.
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Error, 1);
    AtPassive(*adapter_, [&] { result = SubmitUrbSync(r, &urb); });
    EXPECT_EQ(result, RESULT_SUCCESS);

    // So is one that the lower driver fails inside IofCallDriver, answering with the error.
    testing_support::LowerDevice failing(adapter_->bus->DeviceObject()->StackSize);
    int failed = 0;
    failing.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        ++failed;
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IofCompleteRequest(irp, 0);
        return STATUS_UNSUCCESSFUL;
    };
    const PDEVICE_OBJECT bus = r->NextDeviceObject;
    r->NextDeviceObject = &failing.device;
    result = 0;
    AtPassive(*adapter_, [&] { result = SubmitUrbSync(r, &urb); });
    r->NextDeviceObject = bus;
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(result, RESULT_SUCCESS);
    world_.Ndis().Halt(*adapter_);
    ExpectClean();
}

TEST_F(UsbConfigurationTest, ShutdownResetsBothBulkPipesInOrder) {
    ASSERT_EQ(Initialize(DeviceConfig{}), NDIS_STATUS_SUCCESS);
    recorder_.Clear();
    world_.Ndis().Shutdown(*adapter_);
    EXPECT_EQ(device_->RemoteWakeup(), 1);
    EXPECT_EQ(adapter_->bus->Stats().pipeRequests, 4u);
    world_.Ndis().Halt(*adapter_);
    ExpectClean();
}

}  // namespace
