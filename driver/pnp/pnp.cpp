// Plug and Play requests of a port. A start configures the chip's USB side
// and enables the COM-port interface; a surprise removal stops the port's
// use at once; a removal destroys the port. Every other request goes down
// the stack unchanged. Requests passed down are never completed here.
#include "vaxport.h"

namespace {

// Hands the request back to ForwardAndWait, which completes it.
NTSTATUS NTAPI SignalForwardDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), EVENT_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits until the lower drivers are done with
// it; returns their status. The caller still owns and completes the request.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalForwardDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS Forward(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The lower drivers start first; then the chip's configuration, tried twice.
NTSTATUS StartPort(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  NTSTATUS status = ForwardAndWait(lower, irp);
  if (!NT_SUCCESS(status))
    return Complete(irp, status);
  status = ConfigureDevice(device);
  if (!NT_SUCCESS(status))
    status = ConfigureDevice(device);
  if (!NT_SUCCESS(status))
    return Complete(irp, status);

  port->Removed = FALSE;
  port->RemovePending = FALSE;
  port->Started = TRUE;
  KeSetEvent(&port->ReaderWakeEvent, IO_NO_INCREMENT, FALSE);
  IoSetDeviceInterfaceState(&port->InterfaceName, TRUE);
  return Complete(irp, status);
}

// Stops all use of the port and wakes its threads so they see it.
void StopUsingPort(PPORT_EXTENSION port) {
  port->Removed = TRUE;
  port->RemovePending = TRUE;
  port->Started = FALSE;
  if (port->InterfaceName.Buffer != nullptr)
    IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
  KeSetEvent(&port->ReaderWakeEvent, EVENT_INCREMENT, FALSE);
  KeSetEvent(&port->WriterWakeEvent, EVENT_INCREMENT, FALSE);
  KeSetEvent(&port->WriteAbortEvent, EVENT_INCREMENT, FALSE);
  KeSetEvent(&port->StatusWakeEvent, EVENT_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  // Removal deletes the device object; the request still goes down after.
  PDEVICE_OBJECT lower = port->LowerDevice;

  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartPort(device, lower, irp);

    case IRP_MN_SURPRISE_REMOVAL:
      // The link and the SERIALCOMM value stay until the removal.
      StopUsingPort(port);
      break;

    case IRP_MN_REMOVE_DEVICE:
      StopUsingPort(port);
      DestroyPort(device);
      break;

    default:
      break;
  }
  return Forward(lower, irp);
}
