// A WMI consumer for tests: what a management application asks of a driver
// through WMI, turned into the IRP_MJ_SYSTEM_CONTROL requests Windows' WMI
// sends. Each call runs in the calling thread at PASSIVE_LEVEL and returns
// once the request is completed.
//
// `device` is any device object of the stack (the PDO, the function
// driver's device): the provider is the device of that stack that
// registered with IoWMIRegistrationControl, and requests go to the top of
// the stack with Parameters.WMI.ProviderId naming it, so that drivers above
// it forward them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "nt/wmi.h"

namespace vax::kernel {

struct WmiGuidRegistration {
  GUID guid;
  ULONG flags;  // WMIREG_FLAG_*, the provider's flags included
  ULONG instance_count;
  PDEVICE_OBJECT pdo;        // with WMIREG_FLAG_INSTANCE_PDO
  std::u16string base_name;  // with WMIREG_FLAG_INSTANCE_BASENAME
};

struct WmiRegistration {
  PDEVICE_OBJECT provider;
  std::u16string registry_path;
  std::u16string mof_resource_name;
  std::vector<WmiGuidRegistration> guids;
};

// The registration of the stack's provider as IRP_MN_REGINFO_EX reports it
// (asked again after a REREGISTER or UPDATE_GUIDS); nullopt when no device
// of the stack is registered or the provider fails the request.
std::optional<WmiRegistration> QueryWmiRegistration(PDEVICE_OBJECT device);
bool IsWmiRegistered(PDEVICE_OBJECT device);  // this very device object

// Data block queries. `capacity` is the room for data the provider gets
// (BufferAvail). On STATUS_BUFFER_TOO_SMALL, *needed is the data size the
// provider asked for. STATUS_WMI_GUID_NOT_FOUND when no registered provider
// of the stack offers `guid` (nothing is sent).
NTSTATUS WmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                                ULONG capacity, std::vector<std::uint8_t>* data,
                                ULONG* needed = nullptr);
NTSTATUS WmiQueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG capacity,
                         std::vector<std::vector<std::uint8_t>>* instances,
                         ULONG* needed = nullptr);

// Writes a whole instance, or one item of it.
NTSTATUS WmiSetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                              std::span<const std::uint8_t> data);
NTSTATUS WmiSetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                          ULONG item_id, std::span<const std::uint8_t> data);

// Runs a method; `capacity` is the room for its output.
NTSTATUS WmiExecuteMethod(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                          ULONG method_id, std::span<const std::uint8_t> input, ULONG capacity,
                          std::vector<std::uint8_t>* output, ULONG* needed = nullptr);

// A raw request, for tests of the library's routing: minor code, provider
// id, GUID and WNODE buffer exactly as given, sent to the top of `device`'s
// stack.
IO_STATUS_BLOCK SendWmiRequest(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR provider_id,
                               const GUID* guid, void* buffer, ULONG buffer_size);

}  // namespace vax::kernel
