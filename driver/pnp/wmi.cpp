// WMI requests of a port. The port registers no WMI blocks, so every request
// is meant for a driver below it and goes down unchanged.
#include "vaxport.h"

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(PortOf(device)->LowerDevice, irp);
}
