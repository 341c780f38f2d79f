// WMI for drivers: IoWMIRegistrationControl with registrations kept per
// device object, the WMI library (WmiSystemControl routing a request to the
// driver's callbacks, WmiCompleteRequest filling the WNODE they answer in),
// and the consumer side the tests use (wmi_client.h).
//
// Windows' WMI asks a newly registered provider for its registration
// information from a worker thread some time after IoWMIRegistrationControl
// returns. Here the IRP_MN_REGINFO_EX request is sent when a consumer first
// needs it, which is equally after the call and keeps runs reproducible.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/system_irp.h"
#include "kernel/wmi_client.h"
#include "nt/wmi.h"

namespace vax::kernel {
namespace {

struct Registration {
  PDRIVER_OBJECT driver = nullptr;
  bool known = false;  // `info` answers the latest (re)registration
  WmiRegistration info;
};

struct WmiTables {
  sim::Mutex mutex;
  std::unordered_map<PDEVICE_OBJECT, Registration> registrations;
};

WmiTables& Tables() {
  static WmiTables* tables = new WmiTables;
  return *tables;
}

constexpr ULONG Align8(ULONG value) {
  return (value + 7) & ~7u;
}

// WNODE_ALL_DATA: the offset/length pairs start here; the library lends the
// second half of that area to the driver as its InstanceLengthArray.
constexpr ULONG kAllDataPairs = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
constexpr ULONG AllDataHeader(ULONG instances) {
  return Align8(kAllDataPairs + instances * sizeof(OFFSETINSTANCEDATAANDLENGTH));
}
constexpr ULONG kSingleInstanceData = Align8(sizeof(WNODE_SINGLE_INSTANCE));
constexpr ULONG kSingleItemData = Align8(sizeof(WNODE_SINGLE_ITEM));

// ---------------------------------------------------------------------------
// The library's helpers

bool IsWmiMinor(UCHAR minor) {
  return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX;
}

// The instance a single-instance or single-item WNODE names: by index with
// static instance names, otherwise by the number ending its instance name
// ("...\0000_0" is instance 0).
bool InstanceOf(const PUCHAR buffer, ULONG size, ULONG offset_name, ULONG index, ULONG* instance) {
  const auto* header = reinterpret_cast<const WNODE_HEADER*>(buffer);
  if ((header->Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) != 0) {
    *instance = index;
    return true;
  }
  if (offset_name == 0 || offset_name + sizeof(USHORT) > size)
    return false;
  USHORT bytes;
  std::memcpy(&bytes, buffer + offset_name, sizeof(bytes));
  if (offset_name + sizeof(USHORT) + bytes > size)
    return false;
  std::u16string name(bytes / sizeof(WCHAR), u'\0');
  std::memcpy(name.data(), buffer + offset_name + sizeof(USHORT), name.size() * sizeof(WCHAR));
  const std::size_t underscore = name.rfind(u'_');
  if (underscore == std::u16string::npos || underscore + 1 == name.size())
    return false;
  ULONG value = 0;
  for (std::size_t i = underscore + 1; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9')
      return false;
    value = value * 10 + (name[i] - u'0');
  }
  *instance = value;
  return true;
}

void PutCountedString(PUCHAR buffer, ULONG offset, std::u16string_view text) {
  const USHORT bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  std::memcpy(buffer + offset, &bytes, sizeof(bytes));
  std::memcpy(buffer + offset + sizeof(USHORT), text.data(), bytes);
}

ULONG CountedStringSize(std::u16string_view text) {
  return static_cast<ULONG>(sizeof(USHORT) + text.size() * sizeof(WCHAR));
}

std::u16string GetCountedString(const std::vector<std::uint8_t>& buffer, ULONG offset) {
  if (offset == 0 || offset + sizeof(USHORT) > buffer.size())
    return {};
  USHORT bytes;
  std::memcpy(&bytes, buffer.data() + offset, sizeof(bytes));
  if (offset + sizeof(USHORT) + bytes > buffer.size())
    return {};
  std::u16string text(bytes / sizeof(WCHAR), u'\0');
  std::memcpy(text.data(), buffer.data() + offset + sizeof(USHORT), text.size() * sizeof(WCHAR));
  return text;
}

// IRP_MN_REGINFO(_EX): the provider's GUIDs, its registry path, its MOF
// resource and instance naming, as WMIREGINFOW. The IRP is left for the
// driver to complete.
NTSTATUS BuildRegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PUCHAR buffer, ULONG size,
                      ULONG_PTR* information) {
  *information = 0;
  if (context->QueryWmiRegInfo == nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;
  ULONG flags = 0;
  UNICODE_STRING instance_name{};
  PUNICODE_STRING registry_path = nullptr;
  UNICODE_STRING mof_resource{};
  PDEVICE_OBJECT pdo = nullptr;
  const NTSTATUS status =
      context->QueryWmiRegInfo(device, &flags, &instance_name, &registry_path, &mof_resource, &pdo);
  // A base name is pool the driver allocated for the library to free.
  const std::u16string base_name = ToU16(&instance_name);
  if (instance_name.Buffer != nullptr)
    ExFreePool(instance_name.Buffer);
  if (!NT_SUCCESS(status))
    return status;
  if (registry_path == nullptr)
    return STATUS_INVALID_PARAMETER;
  if ((flags & WMIREG_FLAG_INSTANCE_PDO) != 0 && pdo == nullptr)
    return STATUS_INVALID_PARAMETER;
  const std::u16string path = ToU16(registry_path);
  const std::u16string mof = ToU16(&mof_resource);
  const bool with_base = (flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;

  ULONG needed = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + context->GuidCount * sizeof(WMIREGGUIDW);
  const ULONG path_offset = needed;
  needed += CountedStringSize(path);
  const ULONG mof_offset = mof.empty() ? 0 : needed;
  if (!mof.empty())
    needed += CountedStringSize(mof);
  const ULONG base_offset = with_base ? needed : 0;
  if (with_base)
    needed += CountedStringSize(base_name);
  if (size < needed) {
    // The consumer learns the size from the first ULONG and asks again.
    if (size >= sizeof(ULONG)) {
      std::memcpy(buffer, &needed, sizeof(needed));
      *information = sizeof(ULONG);
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memset(buffer, 0, needed);
  auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
  info->BufferSize = needed;
  info->RegistryPath = path_offset;
  info->MofResourceName = mof_offset;
  info->GuidCount = context->GuidCount;
  for (ULONG i = 0; i < context->GuidCount; ++i) {
    WMIREGGUIDW& entry = info->WmiRegGuid[i];
    entry.Guid = *context->GuidList[i].Guid;
    entry.Flags = context->GuidList[i].Flags | flags;
    entry.InstanceCount = context->GuidList[i].InstanceCount;
    if ((flags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
      entry.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
    } else if (with_base) {
      entry.BaseNameOffset = base_offset;
    }
  }
  PutCountedString(buffer, path_offset, path);
  if (!mof.empty())
    PutCountedString(buffer, mof_offset, mof);
  if (with_base)
    PutCountedString(buffer, base_offset, base_name);
  *information = needed;
  return STATUS_SUCCESS;
}

// A too-small answer: WMI is told the size needed in a WNODE_TOO_SMALL,
// which is a successful completion of the request.
NTSTATUS TooSmall(PUCHAR buffer, ULONG size, ULONG needed, ULONG_PTR* information) {
  if (size < sizeof(WNODE_TOO_SMALL))
    return STATUS_BUFFER_TOO_SMALL;
  auto* wnode = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
  wnode->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
  wnode->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
  wnode->SizeNeeded = needed;
  *information = sizeof(WNODE_TOO_SMALL);
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Services

extern "C" {

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl");
  if (!io::CheckDevice(DeviceObject, "IoWMIRegistrationControl"))
    return STATUS_INVALID_PARAMETER;
  const PDRIVER_OBJECT driver = io::DeviceDriver(DeviceObject);
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  auto found = Tables().registrations.find(DeviceObject);
  switch (Action) {
    case WMIREG_ACTION_REGISTER:
      // Registering again (a restart) is taken as a fresh registration.
      Tables().registrations[DeviceObject] = Registration{driver, false, {}};
      return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
      if (found == Tables().registrations.end())
        return STATUS_INVALID_PARAMETER;
      Tables().registrations.erase(found);
      return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
      if (found == Tables().registrations.end())
        return STATUS_INVALID_PARAMETER;
      found->second.known = false;
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "WmiSystemControl");
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR minor = location->MinorFunction;
  if (!IsWmiMinor(minor)) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  if (location->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
    *IrpDisposition = IrpForward;
    return Irp->IoStatus.Status;
  }
  auto not_completed = [&](NTSTATUS status, ULONG_PTR information = 0) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    *IrpDisposition = IrpNotCompleted;
    return status;
  };
  const auto buffer = static_cast<PUCHAR>(location->Parameters.WMI.Buffer);
  const ULONG size = location->Parameters.WMI.BufferSize;
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
    ULONG_PTR information;
    const NTSTATUS status = BuildRegInfo(WmiLibInfo, DeviceObject, buffer, size, &information);
    return not_completed(status, information);
  }

  const auto* guid = static_cast<const GUID*>(location->Parameters.WMI.DataPath);
  ULONG guid_index = 0;
  while (guid_index < WmiLibInfo->GuidCount && *WmiLibInfo->GuidList[guid_index].Guid != *guid) {
    ++guid_index;
  }
  if (guid_index == WmiLibInfo->GuidCount)
    return not_completed(STATUS_WMI_GUID_NOT_FOUND);
  const ULONG instances = WmiLibInfo->GuidList[guid_index].InstanceCount;

  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
      if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
        return not_completed(STATUS_INVALID_DEVICE_REQUEST);
      }
      const ULONG header = AllDataHeader(instances);
      if (size < header) {
        ULONG_PTR information = 0;
        return not_completed(TooSmall(buffer, size, header, &information), information);
      }
      auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      wnode->DataBlockOffset = header;
      wnode->InstanceCount = instances;
      auto* lengths = reinterpret_cast<PULONG>(buffer + kAllDataPairs + instances * sizeof(ULONG));
      std::memset(lengths, 0, instances * sizeof(ULONG));
      *IrpDisposition = IrpProcessed;
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guid_index, 0, instances, lengths,
                                           size - header, buffer + header);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      if (size < sizeof(WNODE_SINGLE_INSTANCE))
        return not_completed(STATUS_INVALID_PARAMETER);
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      ULONG instance;
      if (!InstanceOf(buffer, size, wnode->OffsetInstanceName, wnode->InstanceIndex, &instance) ||
          instance >= instances) {
        return not_completed(STATUS_WMI_INSTANCE_NOT_FOUND);
      }
      const ULONG offset = wnode->DataBlockOffset;
      if (offset < sizeof(WNODE_SINGLE_INSTANCE) || offset > size) {
        return not_completed(STATUS_INVALID_PARAMETER);
      }
      if (minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
        if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
          return not_completed(STATUS_INVALID_DEVICE_REQUEST);
        }
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guid_index, instance, 1,
                                             &wnode->SizeDataBlock, size - offset, buffer + offset);
      }
      if (wnode->SizeDataBlock > size - offset)
        return not_completed(STATUS_INVALID_PARAMETER);
      if (WmiLibInfo->SetWmiDataBlock == nullptr)
        return not_completed(STATUS_WMI_READ_ONLY);
      *IrpDisposition = IrpProcessed;
      return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, guid_index, instance,
                                         wnode->SizeDataBlock, buffer + offset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM:
    case IRP_MN_EXECUTE_METHOD: {
      if (size < sizeof(WNODE_SINGLE_ITEM))
        return not_completed(STATUS_INVALID_PARAMETER);
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
      ULONG instance;
      if (!InstanceOf(buffer, size, wnode->OffsetInstanceName, wnode->InstanceIndex, &instance) ||
          instance >= instances) {
        return not_completed(STATUS_WMI_INSTANCE_NOT_FOUND);
      }
      const ULONG offset = wnode->DataBlockOffset;
      if (offset < sizeof(WNODE_SINGLE_ITEM) || offset > size ||
          wnode->SizeDataItem > size - offset) {
        return not_completed(STATUS_INVALID_PARAMETER);
      }
      if (minor == IRP_MN_CHANGE_SINGLE_ITEM) {
        if (WmiLibInfo->SetWmiDataItem == nullptr)
          return not_completed(STATUS_WMI_READ_ONLY);
        *IrpDisposition = IrpProcessed;
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, guid_index, instance, wnode->ItemId,
                                          wnode->SizeDataItem, buffer + offset);
      }
      if (WmiLibInfo->ExecuteWmiMethod == nullptr) {
        return not_completed(STATUS_INVALID_DEVICE_REQUEST);
      }
      *IrpDisposition = IrpProcessed;
      return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, guid_index, instance, wnode->ItemId,
                                          wnode->SizeDataItem, size - offset, buffer + offset);
    }
    default: {  // enable or disable events or collection
      if (WmiLibInfo->WmiFunctionControl == nullptr)
        return not_completed(STATUS_SUCCESS);
      const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
      const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      *IrpDisposition = IrpProcessed;
      return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guid_index,
                                            events ? WmiEventControl : WmiDataBlockControl,
                                            enable ? TRUE : FALSE);
    }
  }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                                  ULONG BufferUsed, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(DeviceObject);
  RequireIrqlAtMost(DISPATCH_LEVEL, "WmiCompleteRequest");
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  const auto buffer = static_cast<PUCHAR>(location->Parameters.WMI.Buffer);
  const ULONG size = location->Parameters.WMI.BufferSize;
  NTSTATUS final_status = Status;
  ULONG_PTR information = 0;
  switch (location->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA: {
      auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      if (Status == STATUS_BUFFER_TOO_SMALL) {
        final_status = TooSmall(buffer, size, wnode->DataBlockOffset + BufferUsed, &information);
      } else if (NT_SUCCESS(Status)) {
        // Turn the lengths the driver wrote into offset/length pairs, each
        // instance starting on an 8-byte boundary as the driver laid them out.
        const ULONG count = wnode->InstanceCount;
        std::vector<ULONG> lengths(count);
        std::memcpy(lengths.data(), buffer + kAllDataPairs + count * sizeof(ULONG),
                    count * sizeof(ULONG));
        ULONG offset = wnode->DataBlockOffset;
        for (ULONG i = 0; i < count; ++i) {
          OFFSETINSTANCEDATAANDLENGTH pair{offset, lengths[i]};
          std::memcpy(buffer + kAllDataPairs + i * sizeof(pair), &pair, sizeof(pair));
          offset = Align8(offset + lengths[i]);
        }
        wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + BufferUsed;
        information = wnode->WnodeHeader.BufferSize;
      }
      break;
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      if (Status == STATUS_BUFFER_TOO_SMALL) {
        final_status = TooSmall(buffer, size, wnode->DataBlockOffset + BufferUsed, &information);
      } else if (NT_SUCCESS(Status)) {
        wnode->SizeDataBlock = BufferUsed;
        wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + BufferUsed;
        information = wnode->WnodeHeader.BufferSize;
      }
      break;
    }
    case IRP_MN_EXECUTE_METHOD: {
      auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
      if (Status == STATUS_BUFFER_TOO_SMALL) {
        final_status = TooSmall(buffer, size, wnode->DataBlockOffset + BufferUsed, &information);
      } else if (NT_SUCCESS(Status)) {
        wnode->SizeDataItem = BufferUsed;
        wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + BufferUsed;
        information = wnode->WnodeHeader.BufferSize;
      }
      break;
    }
    default:
      break;
  }
  Irp->IoStatus.Status = final_status;
  Irp->IoStatus.Information = information;
  IofCompleteRequest(Irp, PriorityBoost);
  return Status;
}

// Nothing here consumes events: the data is taken and freed, as Windows
// does when no consumer has enabled the event.
NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                            ULONG EventDataSize, PVOID EventData) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Guid);
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(EventDataSize);
  RequireIrqlAtMost(DISPATCH_LEVEL, "WmiFireEvent");
  if (EventData != nullptr)
    ExFreePool(EventData);
  return STATUS_SUCCESS;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// The managers' side

namespace managers {

void ForgetWmiRegistration(PDEVICE_OBJECT device, bool report_if_registered) {
  bool was_registered;
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    was_registered = Tables().registrations.erase(device) != 0;
  }
  if (was_registered && report_if_registered) {
    ReportViolation(Rule::kOther, io::DescribeDevice(device) +
                                      " was deleted while registered with WMI: "
                                      "IoWMIRegistrationControl(WMIREG_ACTION_DEREGISTER) first");
  }
}

void CheckWmiRegistrationsAtUnload(PDRIVER_OBJECT driver) {
  std::vector<PDEVICE_OBJECT> left;
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    std::erase_if(Tables().registrations, [&](const auto& entry) {
      if (entry.second.driver != driver)
        return false;
      left.push_back(entry.first);
      return true;
    });
  }
  for (PDEVICE_OBJECT device : left) {
    ReportViolation(Rule::kLeakAtUnload, io::DriverLabel(driver) + " unloaded while " +
                                             io::DescribeDevice(device) +
                                             " is still registered with WMI");
  }
}

void ResetWmi() {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().registrations.clear();
}

}  // namespace managers

// ---------------------------------------------------------------------------
// The consumer

namespace {

// The devices of the stack `device` belongs to, top first.
std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = device;
  while (PDEVICE_OBJECT lower = LowerDevice(bottom))
    bottom = lower;
  std::vector<PDEVICE_OBJECT> stack;
  for (PDEVICE_OBJECT d = bottom; d != nullptr; d = d->AttachedDevice)
    stack.push_back(d);
  return {stack.rbegin(), stack.rend()};
}

std::optional<WmiRegistration> ParseRegInfo(PDEVICE_OBJECT provider,
                                            const std::vector<std::uint8_t>& buffer) {
  if (buffer.size() < FIELD_OFFSET(WMIREGINFOW, WmiRegGuid))
    return std::nullopt;
  const auto* info = reinterpret_cast<const WMIREGINFOW*>(buffer.data());
  if (FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + info->GuidCount * sizeof(WMIREGGUIDW) >
      buffer.size()) {
    return std::nullopt;
  }
  WmiRegistration registration;
  registration.provider = provider;
  registration.registry_path = GetCountedString(buffer, info->RegistryPath);
  registration.mof_resource_name = GetCountedString(buffer, info->MofResourceName);
  for (ULONG i = 0; i < info->GuidCount; ++i) {
    const WMIREGGUIDW& entry = info->WmiRegGuid[i];
    WmiGuidRegistration guid{entry.Guid, entry.Flags, entry.InstanceCount, nullptr, {}};
    if ((entry.Flags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
      guid.pdo = reinterpret_cast<PDEVICE_OBJECT>(entry.Pdo);
    } else if ((entry.Flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0) {
      guid.base_name = GetCountedString(buffer, entry.BaseNameOffset);
    }
    registration.guids.push_back(guid);
  }
  return registration;
}

// The registration of `provider`, asking it with IRP_MN_REGINFO_EX when it
// has not answered since it last (re)registered.
std::optional<WmiRegistration> RegistrationOf(PDEVICE_OBJECT provider) {
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    auto found = Tables().registrations.find(provider);
    if (found == Tables().registrations.end())
      return std::nullopt;
    if (found->second.known)
      return found->second.info;
  }
  std::vector<std::uint8_t> buffer(512);
  IO_STATUS_BLOCK result{};
  for (int attempt = 0; attempt < 2; ++attempt) {
    result = SendWmiRequest(provider, IRP_MN_REGINFO_EX, reinterpret_cast<ULONG_PTR>(provider),
                            nullptr, buffer.data(), static_cast<ULONG>(buffer.size()));
    if (result.Status != STATUS_BUFFER_TOO_SMALL || result.Information != sizeof(ULONG))
      break;
    ULONG needed;
    std::memcpy(&needed, buffer.data(), sizeof(needed));
    buffer.assign(needed, 0);
  }
  if (!NT_SUCCESS(result.Status))
    return std::nullopt;
  buffer.resize(std::min<std::size_t>(buffer.size(), result.Information));
  std::optional<WmiRegistration> registration = ParseRegInfo(provider, buffer);
  if (!registration)
    return std::nullopt;
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  auto found = Tables().registrations.find(provider);
  if (found != Tables().registrations.end()) {
    found->second.known = true;
    found->second.info = *registration;
  }
  return registration;
}

// The registered device of `device`'s stack that offers `guid`, with its
// instance count.
PDEVICE_OBJECT ProviderFor(PDEVICE_OBJECT device, const GUID& guid, ULONG* instances = nullptr) {
  for (PDEVICE_OBJECT candidate : StackOf(device)) {
    std::optional<WmiRegistration> registration = RegistrationOf(candidate);
    if (!registration)
      continue;
    for (const WmiGuidRegistration& entry : registration->guids) {
      if (entry.guid != guid)
        continue;
      if (instances != nullptr)
        *instances = entry.instance_count;
      return candidate;
    }
  }
  return nullptr;
}

void InitHeader(WNODE_HEADER* header, ULONG size, const GUID& guid, PDEVICE_OBJECT provider,
                ULONG flags) {
  header->BufferSize = size;
  header->ProviderId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(provider));
  header->Guid = guid;
  header->Flags = flags;
}

// The common end of a query: a WNODE_TOO_SMALL answer becomes
// STATUS_BUFFER_TOO_SMALL with the data size needed.
NTSTATUS Answer(const IO_STATUS_BLOCK& result, const std::vector<std::uint8_t>& buffer,
                ULONG data_offset, ULONG* needed) {
  if (!NT_SUCCESS(result.Status))
    return result.Status;
  const auto* header = reinterpret_cast<const WNODE_HEADER*>(buffer.data());
  if ((header->Flags & WNODE_FLAG_TOO_SMALL) != 0) {
    const auto* too_small = reinterpret_cast<const WNODE_TOO_SMALL*>(buffer.data());
    if (needed != nullptr)
      *needed = too_small->SizeNeeded - data_offset;
    return STATUS_BUFFER_TOO_SMALL;
  }
  return result.Status;
}

}  // namespace

std::optional<WmiRegistration> QueryWmiRegistration(PDEVICE_OBJECT device) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "QueryWmiRegistration");
  for (PDEVICE_OBJECT candidate : StackOf(device)) {
    if (IsWmiRegistered(candidate))
      return RegistrationOf(candidate);
  }
  return std::nullopt;
}

bool IsWmiRegistered(PDEVICE_OBJECT device) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  return Tables().registrations.count(device) != 0;
}

IO_STATUS_BLOCK SendWmiRequest(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR provider_id,
                               const GUID* guid, void* buffer, ULONG buffer_size) {
  return managers::SendSystemIrp(device, IRP_MJ_SYSTEM_CONTROL, minor, STATUS_NOT_SUPPORTED,
                                 [&](PIO_STACK_LOCATION location) {
                                   location->Parameters.WMI.ProviderId = provider_id;
                                   location->Parameters.WMI.DataPath = const_cast<GUID*>(guid);
                                   location->Parameters.WMI.BufferSize = buffer_size;
                                   location->Parameters.WMI.Buffer = buffer;
                                 });
}

NTSTATUS WmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                                ULONG capacity, std::vector<std::uint8_t>* data, ULONG* needed) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "WmiQuerySingleInstance");
  PDEVICE_OBJECT provider = ProviderFor(device, guid);
  if (provider == nullptr)
    return STATUS_WMI_GUID_NOT_FOUND;
  const ULONG size = kSingleInstanceData + capacity;
  std::vector<std::uint8_t> buffer(size);
  auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
  InitHeader(&wnode->WnodeHeader, size, guid, provider,
             WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  wnode->InstanceIndex = instance_index;
  wnode->DataBlockOffset = kSingleInstanceData;
  const IO_STATUS_BLOCK result =
      SendWmiRequest(device, IRP_MN_QUERY_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(provider),
                     &guid, buffer.data(), size);
  const NTSTATUS status = Answer(result, buffer, kSingleInstanceData, needed);
  if (NT_SUCCESS(status) && data != nullptr) {
    const ULONG length = std::min(wnode->SizeDataBlock, capacity);
    data->assign(buffer.begin() + kSingleInstanceData,
                 buffer.begin() + kSingleInstanceData + length);
  }
  return status;
}

NTSTATUS WmiQueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG capacity,
                         std::vector<std::vector<std::uint8_t>>* instances, ULONG* needed) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "WmiQueryAllData");
  ULONG count = 0;
  PDEVICE_OBJECT provider = ProviderFor(device, guid, &count);
  if (provider == nullptr)
    return STATUS_WMI_GUID_NOT_FOUND;
  const ULONG header = AllDataHeader(count);
  const ULONG size = header + capacity;
  std::vector<std::uint8_t> buffer(size);
  auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer.data());
  InitHeader(&wnode->WnodeHeader, size, guid, provider, WNODE_FLAG_ALL_DATA);
  const IO_STATUS_BLOCK result =
      SendWmiRequest(device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(provider), &guid,
                     buffer.data(), size);
  const NTSTATUS status = Answer(result, buffer, header, needed);
  if (!NT_SUCCESS(status) || instances == nullptr)
    return status;
  instances->clear();
  for (ULONG i = 0; i < wnode->InstanceCount && i < count; ++i) {
    OFFSETINSTANCEDATAANDLENGTH pair;
    std::memcpy(&pair, buffer.data() + kAllDataPairs + i * sizeof(pair), sizeof(pair));
    if (pair.OffsetInstanceData + pair.LengthInstanceData > size)
      break;
    instances->emplace_back(buffer.begin() + pair.OffsetInstanceData,
                            buffer.begin() + pair.OffsetInstanceData + pair.LengthInstanceData);
  }
  return status;
}

NTSTATUS WmiSetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                              std::span<const std::uint8_t> data) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "WmiSetSingleInstance");
  PDEVICE_OBJECT provider = ProviderFor(device, guid);
  if (provider == nullptr)
    return STATUS_WMI_GUID_NOT_FOUND;
  const ULONG size = kSingleInstanceData + static_cast<ULONG>(data.size());
  std::vector<std::uint8_t> buffer(size);
  auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
  InitHeader(&wnode->WnodeHeader, size, guid, provider,
             WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  wnode->InstanceIndex = instance_index;
  wnode->DataBlockOffset = kSingleInstanceData;
  wnode->SizeDataBlock = static_cast<ULONG>(data.size());
  std::copy(data.begin(), data.end(), buffer.begin() + kSingleInstanceData);
  return SendWmiRequest(device, IRP_MN_CHANGE_SINGLE_INSTANCE,
                        reinterpret_cast<ULONG_PTR>(provider), &guid, buffer.data(), size)
      .Status;
}

namespace {

// A single-item WNODE (items and methods share its layout).
std::vector<std::uint8_t> SingleItem(const GUID& guid, PDEVICE_OBJECT provider, ULONG flags,
                                     ULONG instance_index, ULONG item_id,
                                     std::span<const std::uint8_t> data, ULONG room) {
  const ULONG size = kSingleItemData + std::max(static_cast<ULONG>(data.size()), room);
  std::vector<std::uint8_t> buffer(size);
  auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer.data());
  InitHeader(&wnode->WnodeHeader, size, guid, provider, flags | WNODE_FLAG_STATIC_INSTANCE_NAMES);
  wnode->InstanceIndex = instance_index;
  wnode->ItemId = item_id;
  wnode->DataBlockOffset = kSingleItemData;
  wnode->SizeDataItem = static_cast<ULONG>(data.size());
  std::copy(data.begin(), data.end(), buffer.begin() + kSingleItemData);
  return buffer;
}

}  // namespace

NTSTATUS WmiSetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                          ULONG item_id, std::span<const std::uint8_t> data) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "WmiSetSingleItem");
  PDEVICE_OBJECT provider = ProviderFor(device, guid);
  if (provider == nullptr)
    return STATUS_WMI_GUID_NOT_FOUND;
  std::vector<std::uint8_t> buffer =
      SingleItem(guid, provider, WNODE_FLAG_SINGLE_ITEM, instance_index, item_id, data, 0);
  return SendWmiRequest(device, IRP_MN_CHANGE_SINGLE_ITEM, reinterpret_cast<ULONG_PTR>(provider),
                        &guid, buffer.data(), static_cast<ULONG>(buffer.size()))
      .Status;
}

NTSTATUS WmiExecuteMethod(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                          ULONG method_id, std::span<const std::uint8_t> input, ULONG capacity,
                          std::vector<std::uint8_t>* output, ULONG* needed) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "WmiExecuteMethod");
  PDEVICE_OBJECT provider = ProviderFor(device, guid);
  if (provider == nullptr)
    return STATUS_WMI_GUID_NOT_FOUND;
  std::vector<std::uint8_t> buffer = SingleItem(guid, provider, WNODE_FLAG_METHOD_ITEM,
                                                instance_index, method_id, input, capacity);
  const IO_STATUS_BLOCK result =
      SendWmiRequest(device, IRP_MN_EXECUTE_METHOD, reinterpret_cast<ULONG_PTR>(provider), &guid,
                     buffer.data(), static_cast<ULONG>(buffer.size()));
  const NTSTATUS status = Answer(result, buffer, kSingleItemData, needed);
  if (NT_SUCCESS(status) && output != nullptr) {
    const auto* wnode = reinterpret_cast<const WNODE_SINGLE_ITEM*>(buffer.data());
    const ULONG length =
        std::min<ULONG>(wnode->SizeDataItem, static_cast<ULONG>(buffer.size()) - kSingleItemData);
    output->assign(buffer.begin() + kSingleItemData, buffer.begin() + kSingleItemData + length);
  }
  return status;
}

}  // namespace vax::kernel
