// Synchronous and asynchronous internal USB requests for tests and tools.
#include "usb/usb_requests.h"

namespace vax::usb {

NTSTATUS CallUsb(PDEVICE_OBJECT device, ULONG io_control_code, PVOID argument1) {
  KEVENT done;
  IO_STATUS_BLOCK io_status{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(io_control_code, device, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &io_status);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  return status;
}

NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT device, PURB urb, PendingUrb* pending) {
  KeInitializeEvent(&pending->done, NotificationEvent, FALSE);
  pending->io_status = IO_STATUS_BLOCK{};
  pending->irp =
      IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device, nullptr, 0, nullptr, 0,
                                    TRUE, &pending->done, &pending->io_status);
  if (pending->irp == nullptr) {
    pending->call_status = STATUS_INSUFFICIENT_RESOURCES;
    pending->io_status.Status = STATUS_INSUFFICIENT_RESOURCES;
    KeSetEvent(&pending->done, IO_NO_INCREMENT, FALSE);
    return pending->call_status;
  }
  IoGetNextIrpStackLocation(pending->irp)->Parameters.Others.Argument1 = urb;
  pending->call_status = IoCallDriver(device, pending->irp);
  if (pending->call_status != STATUS_PENDING) {
    // A request completed at once may not have signalled the event (an
    // error without STATUS_PENDING leaves it alone).
    pending->io_status.Status = pending->call_status;
    KeSetEvent(&pending->done, IO_NO_INCREMENT, FALSE);
  }
  return pending->call_status;
}

NTSTATUS WaitUrb(PendingUrb* pending, LONGLONG timeout_100ns) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeout_100ns;
  if (KeWaitForSingleObject(&pending->done, Executive, KernelMode, FALSE, &timeout) ==
      STATUS_TIMEOUT) {
    return STATUS_TIMEOUT;
  }
  return pending->io_status.Status;
}

}  // namespace vax::usb
