// The object namespace (device names and symbolic links) and device
// interfaces. Only what drivers and the Win32 subset reach: named devices
// under \Device, links under \DosDevices, interface links; no directories of
// their own, no other object types.
#include <cstdio>
#include <map>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

constexpr int kMaxLinkHops = 16;

struct Entry {
  std::u16string name;              // as first spelled
  PDEVICE_OBJECT device = nullptr;  // a named device, or an interface link's PDO
  bool link = false;
  std::u16string target;  // a link's target path (empty for interface links)
};

struct Interface {
  std::u16string link;  // \??\<instance with # for \>#{guid}[\reference]
  GUID class_guid;
  PDEVICE_OBJECT pdo;
  bool enabled = false;
};

struct NamespaceState {
  sim::Mutex mutex;
  std::map<std::u16string, Entry> entries;  // by canonical name
  std::vector<Interface> interfaces;
  std::map<int, DeviceInterfaceHook> hooks;
  int next_hook = 1;
};

NamespaceState& State() {
  static NamespaceState* state = new NamespaceState;
  return *state;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         io::Upcase(text.substr(0, prefix.size())) == io::Upcase(prefix);
}

// \DosDevices\X, \GLOBAL??\X and \??\X name the same object; names are
// case-insensitive.
std::u16string Canonical(std::u16string_view name) {
  for (std::u16string_view alias : {u"\\DosDevices", u"\\GLOBAL??"}) {
    if (StartsWithNoCase(name, alias) &&
        (name.size() == alias.size() || name[alias.size()] == u'\\')) {
      return io::Upcase(u"\\??" + std::u16string(name.substr(alias.size())));
    }
  }
  return io::Upcase(name);
}

bool ValidName(std::u16string_view name) {
  return name.size() >= 2 && name[0] == u'\\' && name.back() != u'\\';
}

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  std::u16string wide;
  for (const char* c = text; *c != 0; ++c)
    wide.push_back(char16_t(*c));
  return wide;
}

void Notify(const std::vector<DeviceInterface>& changes) {
  if (changes.empty())
    return;
  std::vector<DeviceInterfaceHook> hooks;
  {
    NamespaceState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    for (auto& [id, hook] : state.hooks)
      hooks.push_back(hook);
  }
  for (const DeviceInterface& change : changes) {
    for (auto& hook : hooks)
      hook(change);
  }
}

DeviceInterface ToPublic(const Interface& interface) {
  return DeviceInterface{interface.link, interface.class_guid, interface.pdo, interface.enabled};
}

// Turns an interface on or off. Called with the lock held; fills `change`.
NTSTATUS SetState(NamespaceState& state, Interface& interface, bool enable,
                  std::vector<DeviceInterface>* changes) {
  if (enable == interface.enabled) {
    return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  interface.enabled = enable;
  const std::u16string key = Canonical(interface.link);
  if (enable) {
    Entry entry;
    entry.name = interface.link;
    entry.device = interface.pdo;
    entry.link = true;
    state.entries[key] = entry;
  } else {
    state.entries.erase(key);
  }
  changes->push_back(ToPublic(interface));
  return STATUS_SUCCESS;
}

}  // namespace

namespace io {

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device) {
  if (!ValidName(name))
    return STATUS_OBJECT_NAME_INVALID;
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  Entry entry;
  entry.name = name;
  entry.device = device;
  return state.entries.emplace(Canonical(name), entry).second ? STATUS_SUCCESS
                                                              : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveDeviceName(std::u16string_view name) {
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.entries.find(Canonical(name));
  if (found != state.entries.end() && !found->second.link)
    state.entries.erase(found);
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::vector<DeviceInterface> changes;
  {
    NamespaceState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    for (Interface& interface : state.interfaces) {
      if (interface.pdo == pdo && interface.enabled)
        SetState(state, interface, false, &changes);
    }
  }
  Notify(changes);
}

void ResetNamespace() {
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.entries.clear();
  state.interfaces.clear();
  // Hooks belong to the Win32 subset's lifetime, not to one boot: they stay.
}

}  // namespace io

PDEVICE_OBJECT ResolveDevice(std::u16string_view path, NTSTATUS* status) {
  NTSTATUS result = STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT device = nullptr;
  {
    NamespaceState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    std::u16string name(path);
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
      auto found = state.entries.find(Canonical(name));
      if (found == state.entries.end())
        break;
      const Entry& entry = found->second;
      if (entry.link && entry.device == nullptr) {
        name = entry.target;
        continue;
      }
      device = entry.device;
      result = STATUS_SUCCESS;
      break;
    }
  }
  if (status != nullptr)
    *status = result;
  return device;
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link) {
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.entries.find(Canonical(link));
  if (found == state.entries.end() || !found->second.link)
    return std::nullopt;
  if (found->second.device != nullptr)
    return DeviceName(found->second.device);
  return found->second.target;
}

std::vector<std::u16string> ObjectNames(std::u16string_view directory) {
  const std::u16string prefix = Canonical(directory) + u"\\";
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::vector<std::u16string> names;
  for (const auto& [key, entry] : state.entries) {
    if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0)
      continue;
    if (key.find(u'\\', prefix.size()) != std::u16string::npos)
      continue;
    names.push_back(entry.name.substr(entry.name.size() - (key.size() - prefix.size())));
  }
  return names;
}

int AddDeviceInterfaceHook(DeviceInterfaceHook hook) {
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.hooks[state.next_hook] = std::move(hook);
  return state.next_hook++;
}

void RemoveDeviceInterfaceHook(int id) {
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.hooks.erase(id);
}

std::vector<DeviceInterface> DeviceInterfaces(const GUID* class_guid) {
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::vector<DeviceInterface> result;
  for (const Interface& interface : state.interfaces) {
    if (class_guid == nullptr || interface.class_guid == *class_guid) {
      result.push_back(ToPublic(interface));
    }
  }
  return result;
}

}  // namespace vax::kernel

using namespace vax::kernel;
namespace sim = vax::sim;

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  const std::u16string link = ToU16(SymbolicLinkName);
  const std::u16string target = ToU16(DeviceName);
  if (!ValidName(link) || !ValidName(target))
    return STATUS_OBJECT_NAME_INVALID;
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  Entry entry;
  entry.name = link;
  entry.link = true;
  entry.target = target;
  return state.entries.emplace(Canonical(link), entry).second ? STATUS_SUCCESS
                                                              : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.entries.find(Canonical(ToU16(SymbolicLinkName)));
  if (found == state.entries.end())
    return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!found->second.link)
    return STATUS_OBJECT_TYPE_MISMATCH;
  state.entries.erase(found);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
  if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!io::CheckDevice(PhysicalDeviceObject, "IoRegisterDeviceInterface")) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // Interfaces belong to the device instance, which only a PDO has.
  if ((PhysicalDeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) == 0) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::u16string link = u"\\??\\" + DeviceInstanceId(PhysicalDeviceObject);
  for (std::size_t i = 4; i < link.size(); ++i) {
    if (link[i] == u'\\')
      link[i] = u'#';
  }
  link += u"#" + GuidText(*InterfaceClassGuid);
  const std::u16string reference = ToU16(ReferenceString);
  if (!reference.empty())
    link += u"\\" + reference;

  // The caller frees the name with RtlFreeUnicodeString: it is pool charged to
  // the caller, and a fault plan can make this allocation fail.
  const std::size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(
      io::AllocatePool(PagedPool, bytes, 0x6E496F49 /* "IoIn" */, __builtin_return_address(0)));
  if (buffer == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  for (std::size_t i = 0; i < link.size(); ++i)
    buffer[i] = static_cast<WCHAR>(link[i]);
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);

  NamespaceState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  const std::u16string key = Canonical(link);
  for (Interface& interface : state.interfaces) {
    if (Canonical(interface.link) == key) {
      interface.pdo = PhysicalDeviceObject;  // a new PDO of the same device instance
      return STATUS_OBJECT_NAME_EXISTS;
    }
  }
  state.interfaces.push_back(Interface{link, *InterfaceClassGuid, PhysicalDeviceObject, false});
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  const std::u16string key = Canonical(ToU16(SymbolicLinkName));
  std::vector<DeviceInterface> changes;
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  {
    NamespaceState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    for (Interface& interface : state.interfaces) {
      if (Canonical(interface.link) == key) {
        status = SetState(state, interface, Enable != FALSE, &changes);
        break;
      }
    }
  }
  Notify(changes);
  return status;
}

}  // extern "C"
