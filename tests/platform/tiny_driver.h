// A tiny WDM function driver for the tests of the loader, the PnP and power
// managers and the WMI library, and a fixture that loads it over the root
// bus. It does what a well-behaved function driver does (start after the
// bus, queries and removal before it, a device power request for each
// system one, WMI through the library) and logs what reached it; switches
// in Behaviour make it veto, pend or break a rule on purpose.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "kernel/power.h"
#include "kernel/rootbus.h"
#include "nt/kernel.h"
#include "nt/wmi.h"
#include "world/world.h"

namespace vax::test::tiny {

// {6A1C2F4E-0B7D-4E52-9C1A-3D5E7F9B1C20}: one block of one ULONG, two instances.
DEFINE_GUID(kBlockGuid, 0x6a1c2f4e, 0x0b7d, 0x4e52, 0x9c, 0x1a, 0x3d, 0x5e, 0x7f, 0x9b, 0x1c, 0x20);
constexpr ULONG kInstances = 2;
constexpr ULONG kValueItem = 1;         // the one data item of the block
constexpr ULONG kAddMethod = 1;         // method: returns the instance's value plus the input ULONG
constexpr ULONG kPoolTag = 0x796E6954;  // "Tiny" in memory

struct Behaviour {
  NTSTATUS entry = STATUS_SUCCESS;       // DriverEntry's result
  NTSTATUS add_device = STATUS_SUCCESS;  // AddDevice's result
  NTSTATUS start = STATUS_SUCCESS;       // start's result once the bus has started
  NTSTATUS query_stop = STATUS_SUCCESS;
  NTSTATUS query_remove = STATUS_SUCCESS;
  NTSTATUS remove = STATUS_SUCCESS;        // fault when not a success
  vax::sim::Ticks query_remove_delay = 0;  // time spent inside query-remove
  bool surprise_removal_ok = false;        // set on the capabilities on the way up
  bool read_only_wmi = false;              // no set callbacks
  bool pend_device_query_power = false;    // hold device QUERY_POWER in `pended`
  bool leak_pool_in_entry = false;         // fault: DriverEntry allocates, never frees
  bool leak_pool_in_add_device = false;    // fault
  bool leave_initializing = false;         // fault: DO_DEVICE_INITIALIZING kept
  bool keep_device_on_remove = false;      // fault: no detach and delete at removal
  bool stay_wmi_registered = false;        // fault: no deregistration at removal
  bool skip_start_next_power = false;      // fault: no PoStartNextPowerIrp on device set-power
};

struct Extension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  int index;  // 0 for the first device added, 1 for the next...
  bool wmi_registered;
  WMILIB_CONTEXT wmi;
  ULONG values[kInstances];
};

// Everything the driver records, and the switches. One per test.
struct Driver {
  Behaviour behaviour;
  std::vector<std::string> log;       // what reached the driver, in order
  std::vector<std::string> timeline;  // the same, each entry prefixed "#<device index> "
  std::u16string registry_path;       // as DriverEntry received it
  UNICODE_STRING registry_path_string{};
  ULONG user_removal = 0xFFFFFFFF;  // "UserRemoval" read by DriverEntry
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<SYSCTL_IRP_DISPOSITION> dispositions;
  std::vector<POWER_ACTION> shutdown_types;  // of every device power request
  KIRQL highest_power_irql = PASSIVE_LEVEL;
  PIRP pended = nullptr;
};

inline Driver* g = nullptr;

inline Extension* Ext(PDEVICE_OBJECT device) {
  return static_cast<Extension*>(device->DeviceExtension);
}

inline void Log(PDEVICE_OBJECT device, std::string entry) {
  g->timeline.push_back("#" + std::to_string(device != nullptr ? Ext(device)->index : -1) + " " +
                        entry);
  g->log.push_back(std::move(entry));
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and takes it back once the lower drivers are done.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp, bool power = false) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  const NTSTATUS status =
      power ? PoCallDriver(Ext(device)->lower, irp) : IoCallDriver(Ext(device)->lower, irp);
  if (status == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Ext(device)->lower, irp);
}

// ---------------------------------------------------------------------------
// WMI callbacks

inline NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING,
                                   PUNICODE_STRING* registry_path, PUNICODE_STRING,
                                   PDEVICE_OBJECT* pdo) {
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *registry_path = &g->registry_path_string;
  *pdo = Ext(device)->pdo;
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG first,
                                     ULONG count, PULONG lengths, ULONG available, PUCHAR buffer) {
  // Instances start on 8-byte boundaries.
  const ULONG needed = (count - 1) * 8 + sizeof(ULONG);
  if (available < needed)
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, 0);
  for (ULONG i = 0; i < count; ++i) {
    RtlCopyMemory(buffer + i * 8, &Ext(device)->values[first + i], sizeof(ULONG));
    lengths[i] = sizeof(ULONG);
  }
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, needed, 0);
}

inline NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG instance,
                                   ULONG size, PUCHAR buffer) {
  if (size != sizeof(ULONG))
    return WmiCompleteRequest(device, irp, STATUS_WMI_SET_FAILURE, 0, 0);
  RtlCopyMemory(&Ext(device)->values[instance], buffer, sizeof(ULONG));
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, 0);
}

inline NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG instance,
                                  ULONG item, ULONG size, PUCHAR buffer) {
  if (item != kValueItem) {
    return WmiCompleteRequest(device, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, 0);
  }
  return SetDataBlock(device, irp, 0, instance, size, buffer);
}

inline NTSTATUS NTAPI ExecuteMethod(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG instance,
                                    ULONG method, ULONG in_size, ULONG out_size, PUCHAR buffer) {
  if (method != kAddMethod || in_size != sizeof(ULONG)) {
    return WmiCompleteRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0, 0);
  }
  ULONG answer[2];  // the sum, then the value it started from
  if (out_size < sizeof(answer)) {
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(answer), 0);
  }
  ULONG addend;
  RtlCopyMemory(&addend, buffer, sizeof(addend));
  answer[0] = Ext(device)->values[instance] + addend;
  answer[1] = Ext(device)->values[instance];
  RtlCopyMemory(buffer, answer, sizeof(answer));
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(answer), 0);
}

inline WMIGUIDREGINFO kGuidList[] = {{&kBlockGuid, kInstances, 0}};

// ---------------------------------------------------------------------------
// Dispatch

inline NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  Extension* ext = Ext(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  Log(device, kernel::PnpMinorName(location->MinorFunction));
  const Behaviour& b = g->behaviour;
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(device, irp);
      Log(device, "START_DEVICE up");
      if (NT_SUCCESS(status))
        status = b.start;
      if (NT_SUCCESS(status) && !ext->wmi_registered) {
        ext->wmi_registered = NT_SUCCESS(IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER));
      }
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      const NTSTATUS status = ForwardAndWait(device, irp);
      Log(device, "QUERY_CAPABILITIES up");
      if (NT_SUCCESS(status) && b.surprise_removal_ok) {
        location->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
      }
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      if (!NT_SUCCESS(b.query_stop))
        return Complete(irp, b.query_stop);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: {
      if (b.query_remove_delay != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -b.query_remove_delay;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
      }
      if (!NT_SUCCESS(b.query_remove))
        return Complete(irp, b.query_remove);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      if (!NT_SUCCESS(b.remove))
        return Complete(irp, b.remove);
      if (ext->wmi_registered && !b.stay_wmi_registered) {
        IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
        ext->wmi_registered = false;
      }
      // Gone before the bus sees the removal, which may delete the PDO.
      PDEVICE_OBJECT lower = ext->lower;
      if (!b.keep_device_on_remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    }
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    default:
      return PassDown(device, irp);
  }
}

inline void NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context,
                                  PIO_STATUS_BLOCK) {
  g->log.push_back(std::string("callback ") + kernel::DevicePowerStateName(state.DeviceState));
  g->timeline.push_back(g->log.back());
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
}

inline NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  Extension* ext = Ext(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  Log(device, kernel::DescribePowerRequest(location));
  if (KeGetCurrentIrql() > g->highest_power_irql)
    g->highest_power_irql = KeGetCurrentIrql();
  const bool set = location->MinorFunction == IRP_MN_SET_POWER;
  const bool device_state = location->Parameters.Power.Type == DevicePowerState;
  const DEVICE_POWER_STATE requested = location->Parameters.Power.State.DeviceState;
  if (location->MinorFunction <= IRP_MN_QUERY_POWER && device_state) {
    g->shutdown_types.push_back(location->Parameters.Power.ShutdownType);
  }

  if (set && !device_state) {
    // The system state becomes a device state of our own, finished before
    // the system request goes on to the bus.
    POWER_STATE wanted;
    wanted.DeviceState = location->Parameters.Power.State.SystemState == PowerSystemWorking
                             ? PowerDeviceD0
                             : PowerDeviceD3;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    if (PoRequestPowerIrp(device, IRP_MN_SET_POWER, wanted, DevicePowerDone, &done, nullptr) ==
        STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  } else if (set && requested == PowerDeviceD0) {
    const NTSTATUS status = ForwardAndWait(device, irp, /*power=*/true);
    PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
    Log(device, "SET_POWER D0 up");
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
  } else if (set && requested == PowerDeviceD3) {
    PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
    if (g->behaviour.skip_start_next_power) {
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(ext->lower, irp);
    }
  } else if (location->MinorFunction == IRP_MN_QUERY_POWER && device_state &&
             g->behaviour.pend_device_query_power) {
    IoMarkIrpPending(irp);
    g->pended = irp;
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->lower, irp);
}

// Finishes the device query held by pend_device_query_power, as the driver
// would from another thread.
inline void CompletePended(NTSTATUS status) {
  PIRP irp = g->pended;
  g->pended = nullptr;
  PoStartNextPowerIrp(irp);
  Complete(irp, status);
}

inline NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  SYSCTL_IRP_DISPOSITION disposition;
  const NTSTATUS status = WmiSystemControl(&Ext(device)->wmi, device, irp, &disposition);
  g->dispositions.push_back(disposition);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    default:
      return PassDown(device, irp);
  }
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  const Behaviour& b = g->behaviour;
  if (!NT_SUCCESS(b.add_device))
    return b.add_device;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status))
    return status;
  Extension* ext = Ext(device);
  ext->self = device;
  ext->pdo = pdo;
  ext->index = static_cast<int>(g->devices.size());
  ext->wmi.GuidCount = 1;
  ext->wmi.GuidList = kGuidList;
  ext->wmi.QueryWmiRegInfo = QueryRegInfo;
  ext->wmi.QueryWmiDataBlock = QueryDataBlock;
  ext->wmi.SetWmiDataBlock = b.read_only_wmi ? nullptr : SetDataBlock;
  ext->wmi.SetWmiDataItem = b.read_only_wmi ? nullptr : SetDataItem;
  ext->wmi.ExecuteWmiMethod = ExecuteMethod;
  ext->values[0] = 100;
  ext->values[1] = 200;
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  g->devices.push_back(device);

  // The port name the device's hardware key holds, if any.
  std::string entry = "AddDevice";
  HANDLE key;
  if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PortName");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64] = {};
    ULONG length = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer),
                                   &length))) {
      const auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      entry += " PortName=" + kernel::Narrow(kernel::ToU16(reinterpret_cast<PCWSTR>(info->Data)));
    }
    ZwClose(key);
  }
  Log(device, entry);

  if (b.leak_pool_in_add_device)
    ExAllocatePoolWithTag(NonPagedPool, 24, kPoolTag);
  device->Flags |= DO_POWER_PAGABLE;
  if (!b.leave_initializing)
    device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  return STATUS_SUCCESS;
}

inline void NTAPI Unload(PDRIVER_OBJECT) {
  g->log.push_back("Unload");
}

inline NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  g->registry_path = kernel::ToU16(registry_path);
  g->registry_path_string.Buffer = reinterpret_cast<PWSTR>(g->registry_path.data());
  g->registry_path_string.Length = registry_path->Length;
  g->registry_path_string.MaximumLength = registry_path->Length;

  // The service key's "UserRemoval", 0 when absent, as a driver reads it.
  ULONG user_removal = 0;
  ULONG none = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(L"UserRemoval");
  table[0].EntryContext = &user_removal;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &none;
  table[0].DefaultLength = sizeof(none);
  std::u16string path = g->registry_path;
  if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                        reinterpret_cast<PCWSTR>(path.c_str()), table, nullptr,
                                        nullptr))) {
    g->user_removal = user_removal;
  }

  if (g->behaviour.leak_pool_in_entry)
    ExAllocatePoolWithTag(NonPagedPool, 16, kPoolTag);
  if (!NT_SUCCESS(g->behaviour.entry))
    return g->behaviour.entry;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The fixture: a quiet World, the driver's record, and helpers to load it
// and plug devices bound to it.

constexpr std::u16string_view kHardwareId = u"ROOT\\TINY";

inline WorldOptions Quiet() {
  WorldOptions options;
  options.announce = false;
  return options;
}

class TinyTest : public ::testing::Test {
 protected:
  TinyTest() : world_(Quiet()) { g = &driver_; }
  ~TinyTest() override { g = nullptr; }

  kernel::LoadedDriver* Load() {
    NTSTATUS status;
    loaded_ = kernel::LoadDriver(u"Tiny", DriverEntry, &status);
    EXPECT_EQ(STATUS_SUCCESS, status);
    if (loaded_ != nullptr)
      kernel::BindFunctionDriver(kHardwareId, loaded_);
    return loaded_;
  }

  // A root device bound to the driver, plugged in.
  kernel::RootDevice* Plug(NTSTATUS expected = STATUS_SUCCESS) {
    kernel::RootDevice* device = kernel::CreateRootDevice(kHardwareId);
    EXPECT_EQ(expected, kernel::PlugRootDevice(device));
    return device;
  }

  void Unload() {
    kernel::UnloadDriver(loaded_);
    loaded_ = nullptr;
  }

  // The function driver's device of a plugged root device.
  static PDEVICE_OBJECT Fdo(kernel::RootDevice* device) { return device->pdo->AttachedDevice; }

  // Log entries from index `from` on.
  std::vector<std::string> LogSince(std::size_t from) const {
    return {driver_.log.begin() + static_cast<std::ptrdiff_t>(from), driver_.log.end()};
  }

  World world_;
  Driver driver_;
  kernel::LoadedDriver* loaded_ = nullptr;
};

}  // namespace vax::test::tiny
