// The names a port is known by: its COM name (the device's "PortName" value,
// or COM8 and up), the \DosDevices\ link that makes the COM name openable,
// and the SERIALCOMM value that tells applications the port exists.
//
// AddDevice and DestroyPort call these routines; the Plug and Play manager
// runs those one at a time, so the names of every port are only ever changed
// by one thread.
#include "vaxport.h"

namespace {

constexpr WCHAR kSerialCommKey[] = L"SERIALCOMM";
constexpr WCHAR kDosDevicesPrefix[] = L"\\DosDevices\\";
constexpr WCHAR kComPrefix[] = L"COM";

// Fallback COM names are "COM" and PortNumber + 1: PortNumber is raised to 7
// first (COM8) and stepped up to 20 (COM21) while names are taken.
constexpr ULONG kFirstFallbackPortNumber = 7;
constexpr ULONG kLastFallbackPortNumber = 20;

bool NameTaken(NTSTATUS status) {
  return status == STATUS_OBJECT_NAME_COLLISION || status == STATUS_OBJECT_NAME_EXISTS;
}

// Appends `text` and keeps a terminator behind it when there is room for one.
// False, with the string unchanged, when the text itself does not fit.
bool AppendString(PUNICODE_STRING string, PCUNICODE_STRING text) {
  const ULONG bytes = string->Length + text->Length;
  if (bytes > string->MaximumLength)
    return false;
  RtlCopyMemory(string->Buffer + string->Length / sizeof(WCHAR), text->Buffer, text->Length);
  string->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= string->MaximumLength)
    string->Buffer[bytes / sizeof(WCHAR)] = 0;
  return true;
}

bool AppendText(PUNICODE_STRING string, PCWSTR text) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, text);
  return AppendString(string, &source);
}

bool AppendDecimal(PUNICODE_STRING string, ULONG value) {
  WCHAR digits[11];
  int first = 10;
  digits[first] = 0;
  do {
    digits[--first] = static_cast<WCHAR>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return AppendText(string, digits + first);
}

// The units before the first terminator, looking no further than the buffer.
USHORT BoundedLength(PCWSTR buffer, USHORT maximum_bytes) {
  USHORT units = 0;
  while (units < maximum_bytes / sizeof(WCHAR) && buffer[units] != 0)
    ++units;
  return static_cast<USHORT>(units * sizeof(WCHAR));
}

PPORT_EXTENSION PortInSlot(int slot) {
  return PortTable[slot] == nullptr ? nullptr : PortOf(PortTable[slot]);
}

// A port whose removal was accepted but which is still held open keeps its
// link until it is destroyed. A new port that wants the same name takes the
// link and the SERIALCOMM value over from it, so that re-plugging a device
// while an application still holds the old handle gives the same COM name.
// Only a port that holds exactly this link name is touched.
bool TakeOverStaleLink(PPORT_EXTENSION port) {
  for (int slot = 0; slot < kMaxPorts; ++slot) {
    PPORT_EXTENSION other = PortInSlot(slot);
    if (other == nullptr || other == port || !other->Removed ||
        other->DosLinkName.Buffer == nullptr)
      continue;
    if (!RtlEqualUnicodeString(&other->DosLinkName, &port->DosLinkName, TRUE))
      continue;
    UnnamePort(other);
    return true;
  }
  return false;
}

// Reads "PortName" from the device's hardware key into the ComName buffer.
bool ReadPortName(PPORT_EXTENSION port) {
  HANDLE key = nullptr;
  NTSTATUS status =
      IoOpenDeviceRegistryKey(port->Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
  if (!NT_SUCCESS(status))
    return false;
  status = ReadRegistryString(key, L"PortName", port->ComName.Buffer, kNameBufferBytes);
  ZwClose(key);
  return NT_SUCCESS(status);
}

// "\DosDevices\" and the COM name. A COM name of more than 20 characters
// leaves no room for it in the 64-byte buffer.
bool BuildDosLinkName(PPORT_EXTENSION port) {
  port->DosLinkName.Buffer =
      reinterpret_cast<PWSTR>(static_cast<PUCHAR>(port->PoolBase) + kPoolDosLinkName);
  port->DosLinkName.Length = 0;
  port->DosLinkName.MaximumLength = kNameBufferBytes;
  RtlZeroMemory(port->DosLinkName.Buffer, kNameBufferBytes);
  return AppendText(&port->DosLinkName, kDosDevicesPrefix) &&
         AppendString(&port->DosLinkName, &port->ComName);
}

// Creates the link for the current COM name, taking it over from a stale
// port once if another port holds it.
NTSTATUS CreateDosLink(PPORT_EXTENSION port) {
  if (!BuildDosLinkName(port))
    return STATUS_OBJECT_NAME_INVALID;
  NTSTATUS status = IoCreateSymbolicLink(&port->DosLinkName, &port->DeviceName);
  if (NameTaken(status) && TakeOverStaleLink(port))
    status = IoCreateSymbolicLink(&port->DosLinkName, &port->DeviceName);
  return status;
}

}  // namespace

BOOLEAN BuildNumberedName(PUNICODE_STRING name, PCWSTR prefix, ULONG number) {
  name->Length = 0;
  return AppendText(name, prefix) && AppendDecimal(name, number);
}

NTSTATUS ReadRegistryString(HANDLE key, PCWSTR value_name, PVOID destination, ULONG size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, value_name);
  const ULONG info_bytes = name.Length + size + 25;
  auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(
      ExAllocatePoolWithTag(PagedPool, info_bytes, kPoolTag));
  if (info == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;

  ULONG result_bytes = 0;
  NTSTATUS status =
      ZwQueryValueKey(key, &name, KeyValueFullInformation, info, info_bytes, &result_bytes);
  if (NT_SUCCESS(status)) {
    if (info->DataLength > size || info->DataOffset > info_bytes ||
        info->DataLength > info_bytes - info->DataOffset) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(destination, reinterpret_cast<PUCHAR>(info) + info->DataOffset,
                    info->DataLength);
    }
  }
  ExFreePoolWithTag(info, kPoolTag);
  return status;
}

NTSTATUS NamePort(PPORT_EXTENSION port) {
  port->ComName.Buffer =
      reinterpret_cast<PWSTR>(static_cast<PUCHAR>(port->PoolBase) + kPoolComName);
  port->ComName.Length = 0;
  port->ComName.MaximumLength = kNameBufferBytes;
  RtlZeroMemory(port->ComName.Buffer, kNameBufferBytes);

  // The PortName value is taken as it stands; a value of 64 bytes without a
  // terminator is bounded by the buffer (and then too long for the link).
  bool fallback = !ReadPortName(port);
  if (fallback) {
    RtlZeroMemory(port->ComName.Buffer, kNameBufferBytes);
    if (port->PortNumber < kFirstFallbackPortNumber)
      port->PortNumber = kFirstFallbackPortNumber;
  } else {
    port->ComName.Length = BoundedLength(port->ComName.Buffer, kNameBufferBytes);
  }

  NTSTATUS status;
  for (;;) {
    if (fallback)
      BuildNumberedName(&port->ComName, kComPrefix, port->PortNumber + 1);
    port->WmiPortName = port->ComName;
    status = CreateDosLink(port);
    if (!(fallback && NameTaken(status) && port->PortNumber < kLastFallbackPortNumber))
      break;
    ++port->PortNumber;
  }
  if (!NT_SUCCESS(status)) {
    port->DosLinkName.Buffer = nullptr;
    return status;
  }

  // The value carries the COM name with its terminator.
  status =
      RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, port->DeviceName.Buffer, REG_SZ,
                            port->ComName.Buffer, port->ComName.Length + sizeof(WCHAR));
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&port->DosLinkName);
    port->DosLinkName.Buffer = nullptr;
    return status;
  }
  return STATUS_SUCCESS;
}

void UnnamePort(PPORT_EXTENSION port) {
  if (port->DosLinkName.Buffer == nullptr)
    return;
  RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, port->DeviceName.Buffer);
  IoDeleteSymbolicLink(&port->DosLinkName);
  port->DosLinkName.Buffer = nullptr;
}
