// The serial request entry points: reads, writes and flushes, the serial I/O
// controls and the internal serial controls. A port that cannot be opened
// has no client for them, so each is refused at once without touching the
// port.
#include "vaxport.h"

namespace {

NTSTATUS Refuse(PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Refuse(irp);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Refuse(irp);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Refuse(irp);
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return Refuse(irp);
}
