// Selecting the chip's USB configuration, taking its pipes and learning its
// generation; and putting the device back into the unconfigured state.
//
// ConfigureDevice runs at PASSIVE_LEVEL after the lower stack has started the
// device: from the Plug and Play start and the return to working power, each
// of which tries it a second time when it fails.
#include "vaxport.h"

namespace {

// Work buffer of ConfigureDevice: the descriptors first, then the descriptor
// request URB. A configuration descriptor set must fit in front of the URB.
constexpr ULONG kDescriptorBytes = 256;
constexpr ULONG kMaxConfigurationBytes = kDescriptorBytes - 1;
constexpr ULONG kWorkBufferBytes = kDescriptorBytes + kRequestBlockUrbBytes;

// A generation-1 chip is told by its configuration's power request.
constexpr UCHAR kGeneration1MaxPower = 0x40;

// The version request answers up to 7 bytes; the first is the version.
constexpr ULONG kVersionAnswerBytes = 7;

struct Endpoint {
  UCHAR address;
  USBD_PIPE_HANDLE PORT_EXTENSION::*pipe;
  bool packet_size_checked;  // the reader and writer move 32-byte packets
};
constexpr Endpoint kEndpoints[] = {
    {0x02, &PORT_EXTENSION::BulkOutPipe, true},
    {0x81, &PORT_EXTENSION::InterruptPipe, false},
    {0x82, &PORT_EXTENSION::BulkInPipe, true},
};

void LimitTransferSizes(PUSBD_INTERFACE_INFORMATION interface_info) {
  for (ULONG i = 0; i < interface_info->NumberOfPipes; ++i) {
    if (interface_info->Pipes[i].MaximumTransferSize > kMaxTransferSize)
      interface_info->Pipes[i].MaximumTransferSize = kMaxTransferSize;
  }
}

// Reads the first `length` bytes of configuration descriptor 0 into the
// start of the work buffer; fewer bytes than asked is a failure.
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT device, PUCHAR work, ULONG length) {
  PURB urb = reinterpret_cast<PURB>(work + kDescriptorBytes);
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  request.Index = 0;
  request.LanguageId = 0;
  request.TransferBuffer = work;
  request.TransferBufferLength = length;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  NTSTATUS status = SubmitUrb(device, urb);
  if (NT_SUCCESS(status) && request.TransferBufferLength < length)
    status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

// Records the pipes the selection returned. Pipe handles from an earlier
// configuration stay where this one has none.
NTSTATUS TakePipes(PPORT_EXTENSION port, PUSBD_INTERFACE_INFORMATION interface_info) {
  NTSTATUS status = STATUS_SUCCESS;
  LimitTransferSizes(interface_info);
  for (ULONG i = 0; i < interface_info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = interface_info->Pipes[i];
    for (const Endpoint& endpoint : kEndpoints) {
      if (pipe.EndpointAddress != endpoint.address)
        continue;
      port->*endpoint.pipe = pipe.PipeHandle;
      if (endpoint.packet_size_checked && pipe.MaximumPacketSize != kBulkPacketSize)
        status = STATUS_NO_SUCH_DEVICE;
    }
  }
  if (port->BulkInPipe == nullptr || port->BulkOutPipe == nullptr)
    status = STATUS_NO_SUCH_DEVICE;
  return status;
}

// Newer chips tell their version; an empty answer keeps the default.
NTSTATUS AskChipVersion(PDEVICE_OBJECT device) {
  UCHAR answer[8] = {};
  ULONG length = kVersionAnswerBytes;
  NTSTATUS status = VendorRequest(device, kVendorIn, VR_GET_VERSION, 0, 0, answer, &length);
  if (NT_SUCCESS(status) && length >= 1)
    PortOf(device)->ChipVersion = answer[0];
  return status;
}

// Selects the configuration whose descriptor set is in `work`, takes the
// pipes and, on newer chips, the version.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config) {
  PUSB_INTERFACE_DESCRIPTOR interface_descriptor =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  if (interface_descriptor == nullptr)
    return STATUS_DEVICE_DATA_ERROR;

  USBD_INTERFACE_LIST_ENTRY interfaces[2] = {};
  interfaces[0].InterfaceDescriptor = interface_descriptor;
  PURB urb = USBD_CreateConfigurationRequestEx(config, interfaces);
  if (urb == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;

  // Every bulk and interrupt transfer the port submits stays within 4096 bytes.
  PUSBD_INTERFACE_INFORMATION interface_info = interfaces[0].Interface;
  LimitTransferSizes(interface_info);
  NTSTATUS status = SubmitUrb(device, urb);
  if (NT_SUCCESS(status))
    status = TakePipes(PortOf(device), interface_info);
  // A chip whose bulk packets are not 32 bytes is refused whatever its
  // generation, so it is not asked its version either.
  if (NT_SUCCESS(status) && PortOf(device)->ChipVersion >= kChipVersionInterrupt)
    status = AskChipVersion(device);
  ExFreePool(urb);
  return status;
}

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device) {
  PPORT_EXTENSION port = PortOf(device);
  port->ChipVersion = 0;
  port->InTransferLength = kBulkPacketSize;

  auto* work = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kWorkBufferBytes, kPoolTag));
  if (work == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(work, kWorkBufferBytes);
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(work);

  NTSTATUS status = ReadConfigurationDescriptor(device, work, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  if (NT_SUCCESS(status) && config->wTotalLength > kMaxConfigurationBytes)
    status = STATUS_DEVICE_DATA_ERROR;
  if (NT_SUCCESS(status)) {
    port->ChipVersion =
        config->MaxPower == kGeneration1MaxPower ? kChipVersion1 : kChipVersionInterrupt;
    status = ReadConfigurationDescriptor(device, work, config->wTotalLength);
  }
  if (NT_SUCCESS(status) && config->bNumInterfaces == 0)
    status = STATUS_DEVICE_DATA_ERROR;
  if (NT_SUCCESS(status))
    status = SelectConfiguration(device, config);

  ExFreePoolWithTag(work, kPoolTag);
  return status;
}

NTSTATUS DeconfigureDevice(PDEVICE_OBJECT device) {
  // A device that left the bus has no configuration to drop.
  ULONG port_status = USBD_PORT_CONNECTED;
  NTSTATUS status = GetPortStatus(device, &port_status);
  if (!NT_SUCCESS(status) || (port_status & USBD_PORT_CONNECTED) == 0)
    return STATUS_NO_SUCH_DEVICE;

  auto* urb =
      static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, kRequestBlockUrbBytes, kPoolTag));
  if (urb == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  status = SubmitUrb(device, urb);
  ExFreePoolWithTag(urb, kPoolTag);
  return status;
}
