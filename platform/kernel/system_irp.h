// What the PnP manager, the power manager, the WMI library and the root bus
// share with each other and with nobody else.
#pragma once

#include <functional>
#include <string_view>

#include "kernel/pnp.h"
#include "nt/kernel.h"

namespace vax::kernel::managers {

// The loader's bindings: the driver serving a hardware id, nullptr if none.
LoadedDriver* BoundDriver(std::u16string_view hardware_id);
// Sends IRP_MN_REMOVE_DEVICE to every stack whose function driver is
// `driver`, as Windows removes a driver's devices before it unloads it.
void RemoveDevicesServedBy(PDRIVER_OBJECT driver);

// Sends a request the system originates (PnP, power, WMI) to the top of the
// stack `device` belongs to, the way Windows' managers do: an IRP of the
// stack's size charged to the platform, IoStatus.Status preset to `initial`,
// the first stack location filled with `major`/`minor` and then by `fill`,
// sent with IoCallDriver (PoCallDriver when `power`), waited for if pended,
// and freed. PASSIVE_LEVEL. STATUS_INSUFFICIENT_RESOURCES when no IRP could
// be allocated.
IO_STATUS_BLOCK SendSystemIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initial,
                              const std::function<void(PIO_STACK_LOCATION)>& fill,
                              bool power = false);

// The power manager's bookkeeping of the power IRPs it originates: begun
// before the IRP is sent, ended when it has come back (reports a device that
// never called PoStartNextPowerIrp for it).
void BeginPowerIrp(PIRP irp);
void EndPowerIrp(PIRP irp);

// A device object was deleted during a removal: the power and WMI records
// keyed by its address are dropped, and a WMI registration still held is
// reported (a device must deregister before it is deleted).
void ForgetPowerRecords(PDEVICE_OBJECT device);
void ForgetWmiRegistration(PDEVICE_OBJECT device, bool report_if_registered);
// WMI registrations still held by devices of `driver`, reported at its unload.
void CheckWmiRegistrationsAtUnload(PDRIVER_OBJECT driver);

// Per-facility resets behind ResetPlugAndPlay.
void ResetLoader();
void ResetPower();
void ResetWmi();
void ResetRootBus();

}  // namespace vax::kernel::managers
