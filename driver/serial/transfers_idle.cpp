// Draining the port's USB transfers before cleanup, chip initialisation,
// removal and thread shutdown: poll the three transfer counts every 20 ms and
// knock stuck transfers loose with pipe aborts, or with a port reset on chips
// whose status requests cannot be aborted on a pipe.
//
// Runs at PASSIVE_LEVEL only: it sleeps and waits for the USB stack.
#include "vaxport.h"

namespace {

LONG Read(LONG* counter) {
  return InterlockedCompareExchange(counter, 0, 0);
}

// IOCTL_INTERNAL_USB_RESET_PORT to the device below, waited for without a
// time limit. Its result does not matter: the counts tell whether it helped.
void ResetUsbPort(PPORT_EXTENSION port) {
  if (port->LowerDevice == nullptr)
    return;
  KEVENT done;
  IO_STATUS_BLOCK io_status;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, port->LowerDevice,
                                           nullptr, 0, nullptr, 0, TRUE, &done, &io_status);
  if (irp == nullptr)
    return;
  if (IoCallDriver(port->LowerDevice, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace

void WaitTransfersIdle(PDEVICE_OBJECT device, BOOLEAN force) {
  PPORT_EXTENSION port = PortOf(device);
  ULONG port_status = USBD_PORT_CONNECTED;
  if (!NT_SUCCESS(GetPortStatus(device, &port_status)))
    port_status = USBD_PORT_CONNECTED;

  for (ULONG pass = 0; pass != 0xFFFFFFFF; ++pass) {
    const bool others_idle =
        Read(&port->InTransfersPending) == 0 && Read(&port->StatusRequestsInFlight) == 0;
    if (Read(&port->OutTransfersPending) == 0 && (!force || others_idle))
      return;

    if (!force || pass >= 2) {
      ULONG latest = USBD_PORT_CONNECTED;
      if (NT_SUCCESS(GetPortStatus(device, &latest))) {
        if ((latest & USBD_PORT_CONNECTED) == 0)
          return;
        port_status = latest;
      }
    }

    if ((port_status & USBD_PORT_CONNECTED) != 0 && pass >= 1) {
      // Bulk-IN aborts wait a few passes unless forced: the reader thread
      // normally reaps its own transfers.
      if (force || pass >= 5) {
        for (LONG aborted = 0; aborted < Read(&port->InTransfersPending); ++aborted)
          PipeRequest(device, URB_FUNCTION_ABORT_PIPE, kBulkInPipe);
      }
      if (Read(&port->OutTransfersPending) != 0)
        PipeRequest(device, URB_FUNCTION_ABORT_PIPE, kBulkOutPipe);
      if (Read(&port->StatusRequestsInFlight) != 0 && (force || pass == 10 || pass == 30)) {
        if (port->ChipVersion >= kChipVersionInterrupt)
          PipeRequest(device, URB_FUNCTION_ABORT_PIPE, kInterruptPipe);
        else if (pass >= 10)
          ResetUsbPort(port);
      }
    }
    SleepOnePoll();
  }
}
