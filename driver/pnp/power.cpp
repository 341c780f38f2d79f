// Power requests of a port. The port keeps no power state of its own: every
// request goes down to the bus driver, which powers the chip.
#include "vaxport.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(PortOf(device)->LowerDevice, irp);
}
