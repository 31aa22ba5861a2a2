// The USBD helper routines of the platform layer.
#include <cstring>

#include "driver/platform/usb.h"
#include "host/kernel/kernel.h"
#include "host/world/current.h"

using host::kernel::Kernel;
using host::world::CurrentKernel;

namespace {

// How many bytes of the descriptor set may be walked: its total length, but never past the end
// of the block that holds it (a device may claim more than the caller read).
size_t WalkLimit(Kernel& k, PUSB_CONFIGURATION_DESCRIPTOR desc) {
    size_t limit = desc->wTotalLength;
    size_t available = 0;
    k.Checked();
    if (k.BytesAvailable(desc, available) && limit > available) {
        k.Report(host::verifier::check::kOverrun,
                 "configuration descriptor claims " + std::to_string(limit) +
                     " bytes; its buffer holds " + std::to_string(available));
        limit = available;
    }
    return limit;
}

constexpr size_t kPipeInfoSize = sizeof(USBD_PIPE_INFORMATION);

size_t InterfaceInfoSize(ULONG pipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 0 ? pipes - 1 : 0) * kPipeInfoSize;
}

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    Kernel& k = CurrentKernel();
    const auto* base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    const size_t limit = WalkLimit(k, ConfigurationDescriptor);
    size_t off = static_cast<size_t>(static_cast<PUCHAR>(StartPosition) - base);
    while (off + 2 <= limit) {
        const UCHAR len = base[off];
        const UCHAR type = base[off + 1];
        if (len < 2 || off + len > limit) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<PUCHAR>(base + off));
            if ((InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol))
                return d;
        }
        off += len;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    Kernel& k = CurrentKernel();
    size_t interfaces = 0;
    for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e)
        interfaces += InterfaceInfoSize(e->InterfaceDescriptor->bNumEndpoints);
    const size_t length = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + interfaces;
    const auto site = host::sim::SiteOfCaller(k.Faults(), host::sim::AllocKind::RequestBlock);
    if (k.Faults().ShouldFail(host::sim::AllocKind::RequestBlock, k.CurrentAdapter(),
                              site ? &*site : nullptr))
        return nullptr;
    auto* urb = static_cast<PURB>(k.Allocate(host::kernel::ResourceKind::PoolBlock,
                                             length < sizeof(URB) ? sizeof(URB) : length,
                                             MAKE_POOL_TAG('U', 'S', 'B', 'D'), true));
    urb->UrbHeader.Length = static_cast<USHORT>(length);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* cursor = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        const ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(InterfaceInfoSize(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) info->Pipes[i].MaximumTransferSize = 4096;
        e->Interface = info;
        cursor += info->Length;
    }
    return urb;
}

}  // extern "C"
