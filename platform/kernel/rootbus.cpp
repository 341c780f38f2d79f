// The root bus: PDOs a test creates, served by the root enumerator's driver
// object the way a bus driver serves its children.
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/pnp.h"
#include "kernel/power.h"
#include "kernel/rootbus.h"
#include "kernel/system_irp.h"

namespace vax::kernel {
namespace {

struct RootBus {
  sim::Mutex mutex;
  PDRIVER_OBJECT driver = nullptr;
  std::vector<std::unique_ptr<RootDevice>> devices;
  std::unordered_map<PDEVICE_OBJECT, RootDevice*> by_pdo;  // PDOs not yet deleted
  ULONG next_instance = 0;
};

RootBus& Bus() {
  static RootBus* bus = new RootBus;
  return *bus;
}

RootDevice* DeviceOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<sim::Mutex> lock(Bus().mutex);
  auto found = Bus().by_pdo.find(pdo);
  return found == Bus().by_pdo.end() ? nullptr : found->second;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  RootDevice* device = DeviceOf(pdo);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  device->requests.push_back(PnpMinorName(location->MinorFunction));
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, device->start_status);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
      }
      const USHORT size = capabilities->Size;
      const USHORT version = capabilities->Version;
      *capabilities = device->capabilities;
      capabilities->Size = size;
      capabilities->Version = version;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE: {
      // A device still plugged in keeps its PDO: it can be added again.
      const bool unplugged = !device->present;
      device->power_state = PowerDeviceD3;
      Complete(irp, STATUS_SUCCESS);
      if (unplugged) {
        {
          std::lock_guard<sim::Mutex> lock(Bus().mutex);
          Bus().by_pdo.erase(pdo);
        }
        device->deleted = true;
        IoDeleteDevice(pdo);
      }
      return STATUS_SUCCESS;
    }
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
  RootDevice* device = DeviceOf(pdo);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  device->requests.push_back(DescribePowerRequest(location));
  NTSTATUS status = irp->IoStatus.Status;
  switch (location->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (location->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(pdo, DevicePowerState, location->Parameters.Power.State);
        device->power_state = location->Parameters.Power.State.DeviceState;
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = device->query_power_status;
      break;
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
  // The bus registers no WMI blocks: whatever reaches it was meant for none.
  return Complete(irp, irp->IoStatus.Status);
}

PDRIVER_OBJECT BusDriver() {
  {
    std::lock_guard<sim::Mutex> lock(Bus().mutex);
    if (Bus().driver != nullptr)
      return Bus().driver;
  }
  PDRIVER_OBJECT driver = CreateDriverObject(u"PnpManager");
  if (driver == nullptr)
    return nullptr;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  std::lock_guard<sim::Mutex> lock(Bus().mutex);
  Bus().driver = driver;
  return driver;
}

DEVICE_CAPABILITIES DefaultCapabilities() {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
    capabilities.DeviceState[state] = PowerDeviceD3;
  }
  capabilities.SystemWake = PowerSystemUnspecified;
  capabilities.DeviceWake = PowerDeviceUnspecified;
  return capabilities;
}

}  // namespace

namespace managers {

void ResetRootBus() {
  std::lock_guard<sim::Mutex> lock(Bus().mutex);
  Bus().driver = nullptr;  // the driver object and PDOs go with the I/O system's reset
  Bus().devices.clear();
  Bus().by_pdo.clear();
  Bus().next_instance = 0;
}

}  // namespace managers

RootDevice* CreateRootDevice(std::u16string_view hardware_id) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "CreateRootDevice");
  PDRIVER_OBJECT driver = BusDriver();
  if (driver == nullptr)
    return nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  {
    DriverScope scope(driver);
    const NTSTATUS status =
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status))
      return nullptr;
  }
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};

  auto device = std::make_unique<RootDevice>();
  device->pdo = pdo;
  device->hardware_id = hardware_id;
  device->capabilities = DefaultCapabilities();
  RootDevice* created = device.get();
  ULONG instance;
  {
    std::lock_guard<sim::Mutex> lock(Bus().mutex);
    instance = Bus().next_instance++;
    Bus().by_pdo[pdo] = created;
    Bus().devices.push_back(std::move(device));
  }
  // ROOT\PORTS\0000, as Windows numbers root-enumerated devices.
  std::u16string id(hardware_id);
  if (io::Upcase(id).rfind(u"ROOT\\", 0) == 0)
    id.erase(0, 5);
  char number[8];
  std::snprintf(number, sizeof(number), "\\%04u", static_cast<unsigned>(instance % 10000));
  std::u16string instance_id = u"ROOT\\" + id;
  for (const char* c = number; *c != 0; ++c)
    instance_id.push_back(static_cast<char16_t>(*c));
  SetDeviceInstanceId(pdo, instance_id);
  return created;
}

NTSTATUS PlugRootDevice(RootDevice* device) {
  device->present = true;
  return ReportDeviceArrival(device->pdo, device->hardware_id);
}

void UnplugRootDevice(RootDevice* device) {
  device->present = false;
  ReportDeviceGone(device->pdo);
}

}  // namespace vax::kernel
