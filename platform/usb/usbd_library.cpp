// The USBD library routines a client driver calls to find an interface in a
// configuration descriptor set and to build the select-configuration URB.
// They run in the caller's context; the URB is charged to the caller's
// driver and freed by it with ExFreePool.
#include <cstddef>
#include <cstring>

#include "nt/usb.h"

namespace {

// Pool tag of the select-configuration URB: "USBD".
constexpr ULONG kUsbdTag = 'U' | 'S' << 8 | 'B' << 16 | static_cast<ULONG>('D') << 24;

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr)
    return nullptr;
  const auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* end = begin + ConfigurationDescriptor->wTotalLength;
  const auto* at = static_cast<const UCHAR*>(StartPosition);
  if (at == nullptr)
    at = begin;
  if (at < begin || at >= end)
    return nullptr;
  auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
  // A descriptor that claims zero bytes or runs past the set ends the walk:
  // the rest cannot be trusted.
  while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end)
      break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(at));
      if (matches(InterfaceNumber, interface->bInterfaceNumber) &&
          matches(AlternateSetting, interface->bAlternateSetting) &&
          matches(InterfaceClass, interface->bInterfaceClass) &&
          matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
          matches(InterfaceProtocol, interface->bInterfaceProtocol)) {
        return interface;
      }
    }
    at += common->bLength;
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr ||
      InterfaceList[0].InterfaceDescriptor == nullptr) {
    return nullptr;
  }
  // The structure brings one interface entry; each listed interface adds an
  // entry sized for its endpoints.
  std::size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
       ++entry) {
    size += GET_USBD_INTERFACE_SIZE(std::size_t{entry->InterfaceDescriptor->bNumEndpoints});
  }
  if (size > 0xFFFF)
    return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (urb == nullptr)
    return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
       ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    const std::size_t entry_size = GET_USBD_INTERFACE_SIZE(std::size_t{descriptor->bNumEndpoints});
    info->Length = static_cast<USHORT>(entry_size);
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    entry->Interface = info;
    info =
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + entry_size);
  }
  return urb;
}

}  // extern "C"
