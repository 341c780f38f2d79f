// Open, close, cleanup and the file-information requests of a port.
//
// Opening a port needs the chip initialised and the request queues running;
// until the port can serve an application it refuses the open, so close and
// cleanup only ever see handles that exist elsewhere and succeed.
#include "vaxport.h"

namespace {

NTSTATUS Finish(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
}
