// Driver loading: the driver object and service key, DriverEntry, the
// bindings from hardware ids to function drivers, and unload with its checks.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/pnp.h"
#include "kernel/system_irp.h"

namespace vax::kernel {
namespace {

struct LoaderTables {
  sim::Mutex mutex;
  std::vector<std::unique_ptr<LoadedDriver>> drivers;
  std::unordered_map<std::u16string, LoadedDriver*> bindings;  // upcased hardware id
};

LoaderTables& Tables() {
  static LoaderTables* tables = new LoaderTables;
  return *tables;
}

}  // namespace

namespace managers {

LoadedDriver* BoundDriver(std::u16string_view hardware_id) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  auto found = Tables().bindings.find(io::Upcase(hardware_id));
  return found == Tables().bindings.end() ? nullptr : found->second;
}

void ResetLoader() {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().bindings.clear();
  Tables().drivers.clear();
}

}  // namespace managers

LoadedDriver* LoadDriver(std::u16string_view service_name, PDRIVER_INITIALIZE entry,
                         NTSTATUS* status) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
  NTSTATUS ignored;
  if (status == nullptr)
    status = &ignored;
  PDRIVER_OBJECT object = CreateDriverObject(service_name);
  if (object == nullptr) {
    *status = STATUS_OBJECT_NAME_COLLISION;
    return nullptr;
  }
  *status = CallDriverEntry(object, entry);
  if (!NT_SUCCESS(*status)) {
    // Windows drops the driver object without calling DriverUnload; a
    // failing DriverEntry must have undone its own work, which the unload
    // checks confirm.
    object->DriverUnload = nullptr;
    UnloadDriver(object);
    return nullptr;
  }
  auto driver = std::make_unique<LoadedDriver>();
  driver->object = object;
  driver->service_name = service_name;
  driver->service_key = ServiceKeyPath(object);
  LoadedDriver* loaded = driver.get();
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().drivers.push_back(std::move(driver));
  return loaded;
}

void UnloadDriver(LoadedDriver* driver) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
  managers::RemoveDevicesServedBy(driver->object);
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    std::erase_if(Tables().bindings,
                  [driver](const auto& entry) { return entry.second == driver; });
  }
  UnloadDriver(driver->object);
  managers::CheckWmiRegistrationsAtUnload(driver->object);
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  std::erase_if(Tables().drivers, [driver](const auto& owned) { return owned.get() == driver; });
}

void BindFunctionDriver(std::u16string_view hardware_id, LoadedDriver* driver) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().bindings[io::Upcase(hardware_id)] = driver;
}

}  // namespace vax::kernel
