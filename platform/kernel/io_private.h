// Helpers the I/O manager, pool, namespace and registry files share with each
// other and with nobody else.
#pragma once

#include <string>
#include <string_view>

#include "kernel/io.h"
#include "nt/kernel.h"

namespace vax::kernel::io {

// Where an object was allocated: the caller's return address and the sim
// thread it ran on. Symbolised only when a report is printed.
struct Site {
  const void* pc = nullptr;
  std::string thread;
};
Site CaptureSite(const void* pc);
// "Foo+0x1c (file.cpp:42) on thread 'main'", or "binary+0x1234 on thread ..."
// when no symbol is known (feed that to addr2line).
std::string DescribeSite(const Site& site);
// The symbolic form of a code address alone.
std::string DescribePc(const void* pc);

// The driver that allocations and objects made now are charged to.
PDRIVER_OBJECT CurrentDriver();

// The I/O manager's handler for every major function a driver left unset.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

std::string DriverLabel(PDRIVER_OBJECT driver);  // "\Driver\Vaxport" or "the platform"

// Case-insensitive comparison keys for object and registry names.
std::u16string Upcase(std::u16string_view text);
std::string Hex(const void* pointer);

// Pool allocation with an explicit site, for services that allocate on a
// driver's behalf (interface names, registry strings): charged to the calling
// driver, subject to fault injection.
PVOID AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site);

// Device objects: checks before the I/O manager uses one a driver handed in.
// Reports kDeletedDeviceUse (deleted) or kOther (not a device object) naming
// `service`, and returns false, so the caller fails the call safely.
bool CheckDevice(PDEVICE_OBJECT device, const char* service, bool deleted_ok = false);
// The driver that owns `device`, from our own table (safe on deleted devices).
PDRIVER_OBJECT DeviceDriver(PDEVICE_OBJECT device);
// "\Device\Serial2 (0x...)" or "unnamed device 0x... of \Driver\X".
std::string DescribeDevice(PDEVICE_OBJECT device);
// The top of the device stack `device` belongs to.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// True while `irp` is allocated (not freed, not finished by the I/O manager).
bool IsLiveIrp(PIRP irp);

// Namespace entries for device names, used by IoCreateDevice/IoDeleteDevice.
NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveDeviceName(std::u16string_view name);
// Interfaces of a PDO being deleted are disabled (removal notifications).
void DisableInterfacesOf(PDEVICE_OBJECT pdo);

// Registry: the path of the device's key under Enum, created on demand.
std::u16string DeviceInstanceKeyPath(PDEVICE_OBJECT pdo);

// Per-facility resets behind ResetIoSystem, in the order it calls them.
void ResetIrps();
void ResetCancel();
void ResetDevices();
void ResetDrivers();
void ResetNamespace();
void ResetRegistry();
void ResetConfiguration();
void ResetPool();

}  // namespace vax::kernel::io
