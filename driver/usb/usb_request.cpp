// The port's synchronous requests to the USB stack below it: URBs, the hub
// port status, pipe aborts and resets, vendor requests to the chip, and the
// rule by which a failed transfer leads to a pipe reset.
//
// Every routine here waits for the lower driver without a time limit and
// therefore runs at PASSIVE_LEVEL, in a dispatch routine, a port thread or
// Plug and Play and power handling. Several callers may be inside at once;
// the one buffer they share, the spare request block, passes between them by
// interlocked exchange, and no lock is held across a request.
#include "vaxport.h"

namespace {

// Statuses with which a stack reports that the device has left the bus.
constexpr NTSTATUS kDeviceGoneStatuses[] = {
    STATUS_NO_SUCH_DEVICE,        STATUS_NO_SUCH_FILE,         STATUS_INVALID_DEVICE_REQUEST,
    STATUS_END_OF_FILE,           STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_READY,
    STATUS_DEVICE_DOES_NOT_EXIST, STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_REMOVED,
    STATUS_DEVICE_OFF_LINE,
};

bool MeansDeviceGone(NTSTATUS status) {
  for (NTSTATUS gone : kDeviceGoneStatuses) {
    if (status == gone)
      return true;
  }
  return false;
}

// One internal request to the lower driver with Argument1 as its only
// parameter, waited for without a time limit.
NTSTATUS CallLowerAndWait(PPORT_EXTENSION port, ULONG io_control_code, PVOID argument1) {
  if (port->LowerDevice == nullptr)
    return STATUS_NO_SUCH_DEVICE;
  KEVENT done;
  IO_STATUS_BLOCK io_status;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(io_control_code, port->LowerDevice, nullptr, 0, nullptr,
                                           0, TRUE, &done, &io_status);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
  NTSTATUS status = IoCallDriver(port->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}

// The port's spare request block, or a private one when another caller holds
// the spare. Returned to where it came from by ReleaseRequestBlock.
PURB TakeRequestBlock(PPORT_EXTENSION port) {
  PVOID block = InterlockedExchangePointer(&port->RequestBlockSlot, nullptr);
  if (block != nullptr)
    return static_cast<PURB>(block);
  return static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, kRequestBlockUrbBytes, kPoolTag));
}

void ReleaseRequestBlock(PPORT_EXTENSION port, PURB block) {
  PUCHAR spare = static_cast<PUCHAR>(port->PoolBase) + kPoolSpareBlock;
  if (reinterpret_cast<PUCHAR>(block) == spare)
    InterlockedExchangePointer(&port->RequestBlockSlot, block);
  else
    ExFreePoolWithTag(block, kPoolTag);
}

USBD_PIPE_HANDLE PipeOf(PPORT_EXTENSION port, ULONG pipe_selector) {
  switch (pipe_selector) {
    case kInterruptPipe:
      return port->InterruptPipe;
    case kBulkInPipe:
      return port->BulkInPipe;
    case kBulkOutPipe:
      return port->BulkOutPipe;
    default:
      return nullptr;
  }
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT device, PURB urb) {
  PPORT_EXTENSION port = PortOf(device);
  InterlockedIncrement(&port->UsbRequestCount);
  NTSTATUS status = CallLowerAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
  InterlockedDecrement(&port->UsbRequestCount);
  return status;
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT device, PULONG port_status) {
  NTSTATUS status =
      CallLowerAndWait(PortOf(device), IOCTL_INTERNAL_USB_GET_PORT_STATUS, port_status);
  if (MeansDeviceGone(status)) {
    *port_status &= ~static_cast<ULONG>(USBD_PORT_CONNECTED);
    return STATUS_SUCCESS;
  }
  return status;
}

BOOLEAN DeviceGone(PDEVICE_OBJECT device) {
  ULONG port_status = USBD_PORT_CONNECTED;
  NTSTATUS status = GetPortStatus(device, &port_status);
  return NT_SUCCESS(status) && (port_status & USBD_PORT_CONNECTED) == 0;
}

NTSTATUS PipeRequest(PDEVICE_OBJECT device, USHORT function, ULONG pipe_selector) {
  PPORT_EXTENSION port = PortOf(device);
  PURB urb = TakeRequestBlock(port);
  if (urb == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;

  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = PipeOf(port, pipe_selector);
  NTSTATUS status =
      urb->UrbPipeRequest.PipeHandle == nullptr ? STATUS_NO_SUCH_DEVICE : SubmitUrb(device, urb);
  ReleaseRequestBlock(port, urb);
  return status;
}

NTSTATUS VendorRequest(PDEVICE_OBJECT device, ULONG transfer_flags, UCHAR request, USHORT value,
                       USHORT index, PVOID buffer, PULONG length) {
  PPORT_EXTENSION port = PortOf(device);
  PURB urb = TakeRequestBlock(port);
  if (urb == nullptr) {
    if (length != nullptr)
      *length = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = urb->UrbControlVendorClassRequest;
  vendor.TransferFlags = transfer_flags;
  vendor.TransferBufferLength = length != nullptr ? *length : 0;
  vendor.TransferBuffer = buffer;
  vendor.TransferBufferMDL = nullptr;
  vendor.UrbLink = nullptr;
  vendor.RequestTypeReservedBits = 0;
  vendor.Request = request;
  vendor.Value = value;
  vendor.Index = index;

  NTSTATUS status = SubmitUrb(device, urb);
  if (length != nullptr)
    *length = NT_SUCCESS(status) ? vendor.TransferBufferLength : 0;
  ReleaseRequestBlock(port, urb);
  return status;
}

BOOLEAN RecoverPipe(PDEVICE_OBJECT device, ULONG pipe_selector) {
  if (DeviceGone(device))
    return TRUE;
  // A removal under way aborts the pipes itself; a reset now would only race it.
  PPORT_EXTENSION port = PortOf(device);
  if (!port->Removed && !port->RemovePending)
    PipeRequest(device, URB_FUNCTION_RESET_PIPE, pipe_selector);
  return FALSE;
}
