// An in-memory registry: keys with values, the Rtl registry routines
// drivers use, key handles for IoOpenDeviceRegistryKey / ZwQueryValueKey /
// ZwClose, and a C++ API for tests to set up what a driver will read.
#include <cstring>
#include <map>
#include <memory>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

constexpr std::u16string_view kRoot = u"\\Registry";
constexpr std::u16string_view kControl = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
constexpr std::u16string_view kWindowsNt =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::u16string_view kUser = u"\\Registry\\User\\.Default";
constexpr ULONG kQueryTag = 0x51657452;  // "RteQ": strings RtlQueryRegistryValues allocates

struct StoredValue {
  std::u16string name;
  ULONG type;
  std::vector<std::uint8_t> data;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by upcased name
  std::map<std::u16string, StoredValue> values;            // by upcased name
};

// What a key handle refers to. Shared so that a key deleted by a test while
// a driver holds a handle stays valid memory.
struct KeyObject {
  std::shared_ptr<Key> key;
};

struct RegistryState {
  sim::Mutex mutex;
  std::shared_ptr<Key> root;
};

RegistryState& State() {
  static RegistryState* state = new RegistryState;
  return *state;
}

std::vector<std::u16string> Components(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos)
      end = path.size();
    if (end > start)
      parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Walks an absolute path (\Registry\...); creates missing keys when asked.
// Called with the lock held.
std::shared_ptr<Key> Walk(RegistryState& state, std::u16string_view path, bool create) {
  std::vector<std::u16string> parts = Components(path);
  if (parts.empty() || io::Upcase(parts[0]) != io::Upcase(kRoot.substr(1)))
    return nullptr;
  if (!state.root) {
    state.root = std::make_shared<Key>();
    state.root->name = u"REGISTRY";
  }
  std::shared_ptr<Key> key = state.root;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::u16string upper = io::Upcase(parts[i]);
    auto found = key->subkeys.find(upper);
    if (found == key->subkeys.end()) {
      if (!create)
        return nullptr;
      auto child = std::make_shared<Key>();
      child->name = parts[i];
      found = key->subkeys.emplace(upper, child).first;
    }
    key = found->second;
  }
  return key;
}

std::u16string Join(std::u16string_view base, std::u16string_view path) {
  std::u16string joined(base);
  if (!path.empty()) {
    if (path[0] != u'\\')
      joined += u'\\';
    joined += path;
  }
  return joined;
}

// The absolute path of an Rtl registry call; empty if RelativeTo is invalid.
std::u16string RtlPath(ULONG relative_to, PCWSTR path) {
  const std::u16string text = ToU16(path);
  switch (relative_to & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE)) {
    case RTL_REGISTRY_ABSOLUTE:
      return text;
    case RTL_REGISTRY_SERVICES:
      return Join(registry::kServices, text);
    case RTL_REGISTRY_CONTROL:
      return Join(kControl, text);
    case RTL_REGISTRY_WINDOWS_NT:
      return Join(kWindowsNt, text);
    case RTL_REGISTRY_DEVICEMAP:
      return Join(registry::kDeviceMap, text);
    case RTL_REGISTRY_USER:
      return Join(kUser, text);
  }
  return {};
}

// The key an Rtl registry call names: through a handle or a path.
std::shared_ptr<Key> RtlKey(RegistryState& state, ULONG relative_to, PCWSTR path, bool create) {
  if ((relative_to & RTL_REGISTRY_HANDLE) != 0) {
    auto* handle =
        static_cast<KeyObject*>(LookupHandle(const_cast<PWSTR>(path), HandleKind::kRegistryKey));
    return handle != nullptr ? handle->key : nullptr;
  }
  const std::u16string full = RtlPath(relative_to, path);
  if (full.empty())
    return nullptr;
  if (!create)
    return Walk(state, full, false);
  // Only the last key is created; the rest of the path must exist.
  const std::size_t last = full.find_last_of(u'\\');
  if (last == std::u16string::npos || last == 0)
    return nullptr;
  if (!Walk(state, std::u16string_view(full).substr(0, last), false))
    return nullptr;
  return Walk(state, full, true);
}

void SetLocked(Key& key, std::u16string_view name, ULONG type, std::vector<std::uint8_t> data) {
  StoredValue& value = key.values[io::Upcase(name)];
  if (value.name.empty())
    value.name = name;
  value.type = type;
  value.data = std::move(data);
}

bool IsString(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ;
}

// Bytes of a string default given with DefaultLength 0: up to and with its
// terminator (two for REG_MULTI_SZ).
ULONG DefaultStringBytes(ULONG type, const WCHAR* text) {
  if (text == nullptr)
    return 0;
  std::size_t units = 0;
  if (type == REG_MULTI_SZ) {
    while (text[units] != 0 || text[units + 1] != 0)
      ++units;
    units += 2;
  } else {
    while (text[units] != 0)
      ++units;
    units += 1;
  }
  return static_cast<ULONG>(units * sizeof(WCHAR));
}

// RTL_QUERY_REGISTRY_DIRECT: the result goes to EntryContext in the shape the
// stored type dictates, whatever the caller's variable really is.
NTSTATUS StoreDirect(PVOID context, ULONG type, const std::uint8_t* data, ULONG bytes,
                     const void* site) {
  if (IsString(type)) {
    auto* string = static_cast<PUNICODE_STRING>(context);
    ULONG length = bytes;
    if (length >= sizeof(WCHAR) && data[length - 1] == 0 && data[length - 2] == 0) {
      length -= sizeof(WCHAR);
    }
    if (string->Buffer == nullptr) {
      auto* buffer =
          static_cast<PWSTR>(io::AllocatePool(PagedPool, length + sizeof(WCHAR), kQueryTag, site));
      if (buffer == nullptr)
        return STATUS_NO_MEMORY;
      string->Buffer = buffer;
      string->MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
    } else if (length > string->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(string->Buffer, data, length);
    string->Length = static_cast<USHORT>(length);
    if (length + sizeof(WCHAR) <= string->MaximumLength) {
      string->Buffer[length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
  }
  if (bytes <= sizeof(ULONG)) {
    std::memcpy(context, data, bytes);
    return STATUS_SUCCESS;
  }
  // Larger data: the first LONG is the buffer's size. Positive: length, type,
  // then the data; negative: the data alone.
  LONG size;
  std::memcpy(&size, context, sizeof(size));
  if (size < 0) {
    if (bytes > static_cast<ULONG>(-size))
      return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(context, data, bytes);
    return STATUS_SUCCESS;
  }
  if (bytes + 2 * sizeof(ULONG) > static_cast<ULONG>(size))
    return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<std::uint8_t*>(context);
  std::memcpy(out, &bytes, sizeof(ULONG));
  std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
  std::memcpy(out + 2 * sizeof(ULONG), data, bytes);
  return STATUS_SUCCESS;
}

// Hands one value (or default) to a table entry.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type,
                 const std::uint8_t* data, ULONG bytes, PVOID context, const void* site) {
  if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
    if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 &&
        (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) != type) {
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (type == REG_MULTI_SZ && (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0) {
      return STATUS_INVALID_PARAMETER;  // DIRECT cannot split a multi-string
    }
    return StoreDirect(entry.EntryContext, type, data, bytes, site);
  }
  if (type == REG_MULTI_SZ && (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0) {
    // One call per string, each as REG_SZ with its terminator.
    const auto* text = reinterpret_cast<const WCHAR*>(data);
    const std::size_t units = bytes / sizeof(WCHAR);
    std::size_t start = 0;
    while (start < units && text[start] != 0) {
      std::size_t end = start;
      while (end < units && text[end] != 0)
        ++end;
      std::vector<WCHAR> one(text + start, text + end);
      one.push_back(0);
      NTSTATUS status = entry.QueryRoutine(name, REG_SZ, one.data(),
                                           static_cast<ULONG>(one.size() * sizeof(WCHAR)), context,
                                           entry.EntryContext);
      if (!NT_SUCCESS(status))
        return status;
      start = end + 1;
    }
    return STATUS_SUCCESS;
  }
  const ULONG delivered_type =
      type == REG_EXPAND_SZ && (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0 ? REG_SZ : type;
  return entry.QueryRoutine(name, delivered_type, const_cast<std::uint8_t*>(data), bytes, context,
                            entry.EntryContext);
}

std::vector<StoredValue> Snapshot(RegistryState& state, const std::shared_ptr<Key>& key) {
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::vector<StoredValue> values;
  for (const auto& [upper, value] : key->values)
    values.push_back(value);
  return values;
}

NTSTATUS RunQueryTable(ULONG relative_to, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                       PVOID context, const void* site) {
  RegistryState& state = State();
  std::shared_ptr<Key> base;
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    if ((relative_to & RTL_REGISTRY_HANDLE) == 0 && RtlPath(relative_to, path).empty()) {
      return STATUS_INVALID_PARAMETER;
    }
    base = RtlKey(state, relative_to, path, false);
  }
  if (!base) {
    return (relative_to & RTL_REGISTRY_OPTIONAL) != 0 ? STATUS_SUCCESS
                                                      : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::shared_ptr<Key> current = base;
  for (PRTL_QUERY_REGISTRY_TABLE entry = table;
       entry->QueryRoutine != nullptr ||
       (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)) != 0;
       ++entry) {
    if ((entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) != 0)
      current = base;
    if ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
      std::lock_guard<sim::Mutex> lock(state.mutex);
      auto found = current->subkeys.find(io::Upcase(ToU16(entry->Name)));
      if (found == current->subkeys.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
      current = found->second;
      if (entry->QueryRoutine == nullptr)
        continue;
    }
    if ((entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) != 0) {
      NTSTATUS status =
          entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context, entry->EntryContext);
      if (!NT_SUCCESS(status))
        return status;
      continue;
    }
    if (entry->Name == nullptr || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
      // Every value of the key.
      for (StoredValue& value : Snapshot(state, current)) {
        std::vector<WCHAR> name(value.name.begin(), value.name.end());
        name.push_back(0);
        NTSTATUS status = Deliver(*entry, name.data(), value.type, value.data.data(),
                                  static_cast<ULONG>(value.data.size()), context, site);
        if (!NT_SUCCESS(status))
          return status;
      }
      continue;
    }
    const std::u16string upper = io::Upcase(ToU16(entry->Name));
    std::optional<StoredValue> value;
    {
      std::lock_guard<sim::Mutex> lock(state.mutex);
      auto found = current->values.find(upper);
      if (found != current->values.end())
        value = found->second;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (value) {
      status = Deliver(*entry, entry->Name, value->type, value->data.data(),
                       static_cast<ULONG>(value->data.size()), context, site);
    } else if ((entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
      const ULONG type = entry->DefaultType & 0x00FFFFFF;
      if (type == REG_NONE)
        continue;  // no value, no default: nothing to hand over
      ULONG bytes = entry->DefaultLength;
      if (bytes == 0 && (IsString(type) || type == REG_MULTI_SZ)) {
        bytes = DefaultStringBytes(type, static_cast<const WCHAR*>(entry->DefaultData));
      }
      status = Deliver(*entry, entry->Name, type,
                       static_cast<const std::uint8_t*>(entry->DefaultData), bytes, context, site);
    }
    if (!NT_SUCCESS(status))
      return status;
    if (value && (entry->Flags & RTL_QUERY_REGISTRY_DELETE) != 0) {
      std::lock_guard<sim::Mutex> lock(state.mutex);
      current->values.erase(upper);
    }
  }
  return STATUS_SUCCESS;
}

void CloseKeyHandle(void* object) {
  delete static_cast<KeyObject*>(object);
}

// KEY_VALUE_FULL_INFORMATION / KEY_VALUE_PARTIAL_INFORMATION of one value.
NTSTATUS FillInformation(const StoredValue& value, KEY_VALUE_INFORMATION_CLASS klass, PVOID buffer,
                         ULONG length, PULONG result_length) {
  const ULONG name_bytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  const ULONG data_bytes = static_cast<ULONG>(value.data.size());
  ULONG fixed;
  ULONG data_offset;
  if (klass == KeyValueFullInformation) {
    fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    // Data starts ULONG-aligned after the name.
    data_offset = (fixed + name_bytes + 3) & ~ULONG{3};
  } else if (klass == KeyValuePartialInformation) {
    fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    data_offset = fixed;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG needed = data_offset + data_bytes;
  *result_length = needed;
  if (length < fixed)
    return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (klass == KeyValueFullInformation) {
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataOffset = data_offset;
    info->DataLength = data_bytes;
    info->NameLength = name_bytes;
    const ULONG name_room = length - fixed < name_bytes ? length - fixed : name_bytes;
    for (ULONG i = 0; i < name_room / sizeof(WCHAR); ++i) {
      const WCHAR unit = static_cast<WCHAR>(value.name[i]);
      std::memcpy(out + fixed + i * sizeof(WCHAR), &unit, sizeof(WCHAR));
    }
  } else {
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataLength = data_bytes;
  }
  if (length < needed)
    return STATUS_BUFFER_OVERFLOW;
  if (data_bytes != 0)
    std::memcpy(out + data_offset, value.data.data(), data_bytes);
  return STATUS_SUCCESS;
}

}  // namespace

namespace io {

std::u16string DeviceInstanceKeyPath(PDEVICE_OBJECT pdo) {
  return std::u16string(registry::kEnum) + u"\\" + DeviceInstanceId(pdo);
}

void ResetRegistry() {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.root.reset();
  for (std::u16string_view path :
       {registry::kServices, kControl, registry::kDeviceMap, registry::kEnum, kWindowsNt, kUser}) {
    Walk(state, path, true);
  }
}

}  // namespace io

namespace registry {

void CreateKey(std::u16string_view path) {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  Walk(state, path, true);
}

bool KeyExists(std::u16string_view path) {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  return Walk(state, path, false) != nullptr;
}

bool DeleteKey(std::u16string_view path) {
  const std::size_t last = path.find_last_of(u'\\');
  if (last == std::u16string_view::npos || last == 0)
    return false;
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::shared_ptr<Key> parent = Walk(state, path.substr(0, last), false);
  return parent != nullptr && parent->subkeys.erase(io::Upcase(path.substr(last + 1))) != 0;
}

void SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
              std::vector<std::uint8_t> data) {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  if (std::shared_ptr<Key> key = Walk(state, path, true))
    SetLocked(*key, name, type, std::move(data));
}

void SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
               ULONG type) {
  std::vector<std::uint8_t> data((text.size() + 1) * sizeof(WCHAR), 0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const WCHAR unit = static_cast<WCHAR>(text[i]);
    std::memcpy(data.data() + i * sizeof(WCHAR), &unit, sizeof(WCHAR));
  }
  SetValue(path, name, type, std::move(data));
}

void SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
  std::vector<std::uint8_t> data(sizeof(ULONG));
  std::memcpy(data.data(), &value, sizeof(ULONG));
  SetValue(path, name, REG_DWORD, std::move(data));
}

std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::shared_ptr<Key> key = Walk(state, path, false);
  if (!key)
    return std::nullopt;
  auto found = key->values.find(io::Upcase(name));
  if (found == key->values.end())
    return std::nullopt;
  return Value{found->second.type, found->second.data};
}

std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name) {
  std::optional<Value> value = GetValue(path, name);
  if (!value || !IsString(value->type))
    return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value->data.size(); i += sizeof(WCHAR)) {
    WCHAR unit;
    std::memcpy(&unit, value->data.data() + i, sizeof(WCHAR));
    if (unit == 0)
      break;
    text.push_back(static_cast<char16_t>(unit));
  }
  return text;
}

std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name) {
  std::optional<Value> value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) {
    return std::nullopt;
  }
  ULONG dword;
  std::memcpy(&dword, value->data.data(), sizeof(ULONG));
  return dword;
}

bool DeleteValue(std::u16string_view path, std::u16string_view name) {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::shared_ptr<Key> key = Walk(state, path, false);
  return key != nullptr && key->values.erase(io::Upcase(name)) != 0;
}

std::vector<std::u16string> ValueNames(std::u16string_view path) {
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::vector<std::u16string> names;
  if (std::shared_ptr<Key> key = Walk(state, path, false)) {
    for (const auto& [upper, value] : key->values)
      names.push_back(value.name);
  }
  return names;
}

std::u16string DeviceParametersPath(PDEVICE_OBJECT pdo) {
  return io::DeviceInstanceKeyPath(pdo) + u"\\Device Parameters";
}

}  // namespace registry
}  // namespace vax::kernel

using namespace vax::kernel;
namespace sim = vax::sim;

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
  UNREFERENCED_PARAMETER(Environment);
  RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
  if (QueryTable == nullptr)
    return STATUS_INVALID_PARAMETER;
  return RunQueryTable(RelativeTo, Path, QueryTable, Context, __builtin_return_address(0));
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  if ((RelativeTo & RTL_REGISTRY_HANDLE) == 0 && RtlPath(RelativeTo, Path).empty()) {
    return STATUS_INVALID_PARAMETER;
  }
  std::shared_ptr<Key> key = RtlKey(state, RelativeTo, Path, true);
  if (!key)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  const auto* data = static_cast<const std::uint8_t*>(ValueData);
  SetLocked(*key, ToU16(ValueName), ValueType,
            std::vector<std::uint8_t>(data, data + (data != nullptr ? ValueLength : 0)));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::shared_ptr<Key> key = RtlKey(state, RelativeTo, Path, false);
  if (!key || key->values.erase(io::Upcase(ToU16(ValueName))) == 0) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  auto* handle = static_cast<KeyObject*>(LookupHandle(KeyHandle, HandleKind::kRegistryKey));
  if (handle == nullptr)
    return STATUS_INVALID_HANDLE;
  if (ResultLength == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::optional<StoredValue> value;
  {
    RegistryState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = handle->key->values.find(io::Upcase(ToU16(ValueName)));
    if (found != handle->key->values.end())
      value = found->second;
  }
  if (!value)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  return FillInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                         ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  auto* handle = static_cast<KeyObject*>(LookupHandle(KeyHandle, HandleKind::kRegistryKey));
  if (handle == nullptr)
    return STATUS_INVALID_HANDLE;
  const auto* data = static_cast<const std::uint8_t*>(Data);
  RegistryState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  SetLocked(*handle->key, ToU16(ValueName), Type,
            std::vector<std::uint8_t>(data, data + (data != nullptr ? DataSize : 0)));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  if (DevInstRegKey == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (!io::CheckDevice(DeviceObject, "IoOpenDeviceRegistryKey")) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // Device keys belong to the device instance, which only a PDO has.
  if ((DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) == 0)
    return STATUS_INVALID_DEVICE_REQUEST;
  if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
    return STATUS_INVALID_PARAMETER;
  const std::u16string path = registry::DeviceParametersPath(DeviceObject);
  std::shared_ptr<Key> key;
  {
    RegistryState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    key = Walk(state, path, true);
  }
  *DevInstRegKey = InsertHandle(HandleKind::kRegistryKey, new KeyObject{key}, CloseKeyHandle);
  return STATUS_SUCCESS;
}

}  // extern "C"
