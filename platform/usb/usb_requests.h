// Internal USB requests sent the way a client driver sends them, for tests
// and tools that talk to a PDO without a driver: an IRP from
// IoBuildDeviceIoControlRequest with the argument in Argument1 of the next
// stack location. PASSIVE_LEVEL.
#pragma once

#include "nt/usb.h"

namespace vax::usb {

// Sends one request and waits for it without a time limit.
NTSTATUS CallUsb(PDEVICE_OBJECT device, ULONG io_control_code, PVOID argument1);
inline NTSTATUS SubmitUrb(PDEVICE_OBJECT device, PURB urb) {
  return CallUsb(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}
inline NTSTATUS GetPortStatus(PDEVICE_OBJECT device, ULONG* port_status) {
  return CallUsb(device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, port_status);
}
inline NTSTATUS ResetPort(PDEVICE_OBJECT device) {
  return CallUsb(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

// A URB left pending: `done` is signalled and `io_status` written when it
// completes. Keep the object (and the URB) alive until then.
struct PendingUrb {
  KEVENT done;
  IO_STATUS_BLOCK io_status;
  NTSTATUS call_status;  // what IoCallDriver returned
  PIRP irp;
};
// Returns IoCallDriver's status (STATUS_PENDING while it is in flight).
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT device, PURB urb, PendingUrb* pending);
// Waits until it completes or `timeout_100ns` passes; the final status, or
// STATUS_TIMEOUT.
NTSTATUS WaitUrb(PendingUrb* pending, LONGLONG timeout_100ns);

}  // namespace vax::usb
