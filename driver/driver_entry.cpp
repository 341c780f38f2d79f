// Load and unload of the driver, and the state every port shares.
#include "vaxport.h"

PDRIVER_OBJECT GlobalDriverObject;
UNICODE_STRING ServiceKeyPath;
ULONG UserRemoval;
PDEVICE_OBJECT PortTable[kMaxPorts];

namespace {

// Units of the local copy of a registry path, terminator included.
constexpr ULONG kRegistryPathUnits = 256;

// Takes the value only when it is what the setting is: a REG_DWORD of four
// bytes. Anything else would otherwise be written over the 4-byte variable in
// the shape of its own type (a string as a UNICODE_STRING), so it is refused
// and the setting stays at its default.
NTSTATUS NTAPI StoreDword(PWSTR value_name, ULONG value_type, PVOID value_data, ULONG value_length,
                          PVOID context, PVOID entry_context) {
  UNREFERENCED_PARAMETER(value_name);
  UNREFERENCED_PARAMETER(context);
  if (value_type != REG_DWORD || value_length != sizeof(ULONG))
    return STATUS_OBJECT_TYPE_MISMATCH;
  RtlCopyMemory(entry_context, value_data, sizeof(ULONG));
  return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN QueryServiceDword(PCUNICODE_STRING path, PCWSTR value_name, PULONG value) {
  // RtlQueryRegistryValues wants a terminated path; a longer one than the
  // local copy holds is refused rather than cut short.
  if (path->Length / sizeof(WCHAR) >= kRegistryPathUnits)
    return FALSE;
  WCHAR local_path[kRegistryPathUnits];
  RtlZeroMemory(local_path, sizeof(local_path));
  RtlCopyMemory(local_path, path->Buffer, path->Length);

  ULONG default_value = *value;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].QueryRoutine = StoreDword;
  table[0].Name = const_cast<PWSTR>(value_name);
  table[0].EntryContext = value;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &default_value;
  table[0].DefaultLength = sizeof(ULONG);

  NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                           local_path, table, nullptr, nullptr);
  return NT_SUCCESS(status);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  GlobalDriverObject = driver;

  // The path is kept for WMI, which needs it for as long as the driver lives.
  ServiceKeyPath.Length = registry_path->Length;
  ServiceKeyPath.MaximumLength = registry_path->MaximumLength;
  if (ServiceKeyPath.Length > ServiceKeyPath.MaximumLength)
    ServiceKeyPath.MaximumLength = ServiceKeyPath.Length;
  ServiceKeyPath.Buffer = static_cast<PWSTR>(
      ExAllocatePoolWithTag(NonPagedPool, ServiceKeyPath.MaximumLength, kPoolTag));
  if (ServiceKeyPath.Buffer == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ServiceKeyPath.Buffer, ServiceKeyPath.MaximumLength);
  RtlCopyMemory(ServiceKeyPath.Buffer, registry_path->Buffer, ServiceKeyPath.Length);

  UserRemoval = 0;
  if (!QueryServiceDword(&ServiceKeyPath, L"UserRemoval", &UserRemoval))
    UserRemoval = 0;

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchWrite;
  driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
  driver->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  UNREFERENCED_PARAMETER(driver);
  // From here on every port thread leaves its loop at its next wake.
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&GlobalDriverObject), nullptr);

  // The system removes every port before it unloads the driver; a port still
  // in the table is one whose removal is finishing in another thread, and
  // that removal frees the slot.
  for (int slot = 0; slot < kMaxPorts; ++slot) {
    while (PortTable[slot] != nullptr) {
      StopPortThreads(PortTable[slot]);
      SleepOnePoll();
    }
  }

  ExFreePoolWithTag(ServiceKeyPath.Buffer, kPoolTag);
  ServiceKeyPath.Buffer = nullptr;
}
