#include "driver/usb/configuration.h"

#include "driver/frame/ledger.h"
#include "driver/frame/pool_tags.h"
#include "driver/usb/sync_request.h"

namespace {

VOID ZeroUrb(URB* urb) {
    NdisZeroMemory(urb, sizeof(URB));
}

ULONG GetDescriptor(AdapterRecord* Adapter, UCHAR Type, PVOID Buffer, ULONG Length) {
    URB urb;
    ZeroUrb(&urb);
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBufferLength = Length;
    r.TransferBuffer = Buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.Index = 0;
    r.DescriptorType = Type;
    r.LanguageId = 0;
    return SubmitUrbSync(Adapter, &urb);
}

ULONG GetDeviceStatus(AdapterRecord* Adapter) {
    URB urb;
    ZeroUrb(&urb);
    auto& r = urb.UrbControlGetStatusRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    r.TransferBufferLength = 2;
    r.TransferBuffer = Adapter->RegisterReadBuffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.Index = 0;
    return SubmitUrbSync(Adapter, &urb);
}

// The select-configuration request with its interface: pipe count checked, the two bulk pipes
// sized, sent, pipe types checked, handle and interface information kept.
ULONG SelectConfiguration(AdapterRecord* Adapter, PURB urb) {
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    if (info->NumberOfPipes != 3) return RESULT_FAILURE;
    for (ULONG pipe = PIPE_BULK_IN; pipe <= PIPE_BULK_OUT; ++pipe) {
        info->Pipes[pipe].MaximumTransferSize = PIPE_MAX_TRANSFER;
        info->Pipes[pipe].PipeFlags = 0;
    }
    urb->UrbHeader.Length = static_cast<USHORT>(
        offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + info->Length);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = Adapter->ConfigurationDescriptor;
    if (SubmitUrbSync(Adapter, urb) != RESULT_SUCCESS) return RESULT_FAILURE;
    if (info->Pipes[PIPE_BULK_IN].PipeType != UsbdPipeTypeBulk ||
        info->Pipes[PIPE_BULK_OUT].PipeType != UsbdPipeTypeBulk ||
        info->Pipes[PIPE_INTERRUPT].PipeType != UsbdPipeTypeInterrupt)
        return RESULT_FAILURE;
    Adapter->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;

    PVOID copy = nullptr;
    if (AllocateTracked(Adapter, &copy, info->Length) != RESULT_SUCCESS) return RESULT_FAILURE;
    NdisMoveMemory(copy, info, info->Length);
    Adapter->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(copy);
    return RESULT_SUCCESS;
}

}  // namespace

ULONG SendSetFeature(AdapterRecord* Adapter, USHORT FeatureSelector) {
    URB urb;
    ZeroUrb(&urb);
    auto& r = urb.UrbControlFeatureRequest;
    r.Hdr.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    r.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    r.UrbLink = nullptr;
    r.FeatureSelector = FeatureSelector;
    r.Index = 0;
    return SubmitUrbSync(Adapter, &urb);
}

ULONG ConfigureUsbDevice(AdapterRecord* Adapter) {
    NdisMGetDeviceProperty(Adapter->MiniportAdapterHandle, &Adapter->PhysicalDeviceObject,
                           &Adapter->FunctionalDeviceObject, &Adapter->NextDeviceObject, nullptr,
                           nullptr);
    Adapter->IrpStackSize = static_cast<UCHAR>(Adapter->NextDeviceObject->StackSize + 1);

    if (GetDescriptor(Adapter, USB_DEVICE_DESCRIPTOR_TYPE, Adapter->DeviceDescriptor,
                      sizeof Adapter->DeviceDescriptor) != RESULT_SUCCESS)
        return RESULT_FAILURE;

    PVOID buffer = nullptr;
    if (AllocateTracked(Adapter, &buffer, CONFIGURATION_BUFFER_SIZE) != RESULT_SUCCESS)
        return RESULT_FAILURE;
    Adapter->ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    if (GetDescriptor(Adapter, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer,
                      CONFIGURATION_BUFFER_SIZE) != RESULT_SUCCESS)
        return RESULT_FAILURE;
    // Only 255 bytes were read: a longer set is parsed only as far as the buffer holds it.
    if (Adapter->ConfigurationDescriptor->wTotalLength > CONFIGURATION_BUFFER_SIZE)
        Adapter->ConfigurationDescriptor->wTotalLength = CONFIGURATION_BUFFER_SIZE;

    PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
        Adapter->ConfigurationDescriptor, Adapter->ConfigurationDescriptor, -1, -1, -1, -1, -1);
    if (iface == nullptr) return RESULT_FAILURE;

    USBD_INTERFACE_LIST_ENTRY list[2];
    list[0].InterfaceDescriptor = iface;
    list[0].Interface = nullptr;
    list[1].InterfaceDescriptor = nullptr;
    list[1].Interface = nullptr;
    PURB select = USBD_CreateConfigurationRequestEx(Adapter->ConfigurationDescriptor, list);
    if (select == nullptr) return RESULT_FAILURE;
    const ULONG selected = SelectConfiguration(Adapter, select);
    ExFreePool(select);
    if (selected != RESULT_SUCCESS) return RESULT_FAILURE;

    if (SendSetFeature(Adapter, 0) != RESULT_SUCCESS) return RESULT_FAILURE;
    return GetDeviceStatus(Adapter);
}

namespace {

struct PipeStep {
    USHORT function;
    ULONG pipe;
    ULONG pauseAfterUs;
};

// Sends each step's pipe request in turn from one request block, whatever an earlier one
// answered. 1, or 2 when any of them failed (or no request block was had).
ULONG SendPipeRequests(AdapterRecord* Adapter, const PipeStep* Steps, ULONG Count) {
    auto* urb = static_cast<struct _URB_PIPE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), kRequestBlockTag));
    if (urb == nullptr) return RESULT_FAILURE;
    ULONG result = RESULT_SUCCESS;
    for (ULONG i = 0; i < Count; ++i) {
        urb->Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->Hdr.Function = Steps[i].function;
        urb->PipeHandle = PipeHandle(Adapter, Steps[i].pipe);
        if (SubmitUrbSync(Adapter, reinterpret_cast<PURB>(urb)) != RESULT_SUCCESS)
            result = RESULT_FAILURE;
        if (Steps[i].pauseAfterUs != 0) NdisMSleep(Steps[i].pauseAfterUs);
    }
    ExFreePool(urb);
    return result;
}

}  // namespace

ULONG ResetBulkPipes(AdapterRecord* Adapter) {
    // Every request goes out whatever an earlier one answered: a bulk-out reset that timed out
    // must not keep the bulk-in read from being aborted.
    static const PipeStep steps[] = {
        {URB_FUNCTION_ABORT_PIPE, PIPE_BULK_OUT, 10000},
        {URB_FUNCTION_RESET_PIPE, PIPE_BULK_OUT, 0},
        {URB_FUNCTION_ABORT_PIPE, PIPE_BULK_IN, 10000},
        {URB_FUNCTION_RESET_PIPE, PIPE_BULK_IN, 0},
    };
    return SendPipeRequests(Adapter, steps, sizeof steps / sizeof steps[0]);
}

ULONG AbortBulkPipes(AdapterRecord* Adapter) {
    // Aborts are the host controller's own: they never wait behind a device that does not
    // answer, where a pipe reset (a control request) may take its whole time-out.
    static const PipeStep steps[] = {
        {URB_FUNCTION_ABORT_PIPE, PIPE_BULK_OUT, 0},
        {URB_FUNCTION_ABORT_PIPE, PIPE_BULK_IN, 0},
    };
    return SendPipeRequests(Adapter, steps, sizeof steps / sizeof steps[0]);
}
