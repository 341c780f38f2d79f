// Driver objects: creation for a driver being loaded, DriverEntry, and unload
// with the check that the driver left nothing behind.
#include <map>
#include <memory>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

constexpr CSHORT kIoTypeDriver = 4;

struct DriverRecord {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::vector<WCHAR> name;     // \Driver\<service>
  std::vector<WCHAR> service;  // <service>
  std::u16string service_key;  // full path of the service key
  bool unloaded = false;       // its name may be loaded again
};

struct DriverState {
  sim::Mutex mutex;
  // Driver objects stay until the next reset even after unload: devices and
  // pool records may still point at them, and reports name them.
  std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
};

DriverState& State() {
  static DriverState* state = new DriverState;
  return *state;
}

std::vector<WCHAR> Terminated(std::u16string_view text) {
  std::vector<WCHAR> units(text.begin(), text.end());
  units.push_back(0);
  return units;
}

void SetString(UNICODE_STRING* string, std::vector<WCHAR>& units) {
  string->Buffer = units.data();
  string->Length = static_cast<USHORT>((units.size() - 1) * sizeof(WCHAR));
  string->MaximumLength = static_cast<USHORT>(units.size() * sizeof(WCHAR));
}

}  // namespace

namespace io {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void ResetDrivers() {
  DriverState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.drivers.clear();
}

}  // namespace io

PDRIVER_OBJECT CreateDriverObject(std::u16string_view service_name) {
  const std::u16string name = u"\\Driver\\" + std::u16string(service_name);
  DriverState& state = State();
  auto record = std::make_unique<DriverRecord>();
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    for (const auto& [object, existing] : state.drivers) {
      if (!existing->unloaded && io::Upcase(ToU16(&object->DriverName)) == io::Upcase(name)) {
        return nullptr;
      }
    }
  }
  record->name = Terminated(name);
  record->service = Terminated(service_name);
  record->service_key = std::u16string(registry::kServices) + u"\\" + std::u16string(service_name);
  DRIVER_OBJECT& driver = record->object;
  driver = DRIVER_OBJECT{};
  driver.Type = kIoTypeDriver;
  driver.Size = sizeof(DRIVER_OBJECT);
  driver.DriverExtension = &record->extension;
  record->extension = DRIVER_EXTENSION{};
  record->extension.DriverObject = &driver;
  SetString(&record->extension.ServiceKeyName, record->service);
  SetString(&driver.DriverName, record->name);
  for (PDRIVER_DISPATCH& dispatch : driver.MajorFunction)
    dispatch = io::InvalidDeviceRequest;
  registry::CreateKey(record->service_key);
  PDRIVER_OBJECT object = &driver;
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.drivers.emplace(object, std::move(record));
  return object;
}

std::u16string ServiceKeyPath(PDRIVER_OBJECT driver) {
  DriverState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.drivers.find(driver);
  return found == state.drivers.end() ? std::u16string() : found->second->service_key;
}

NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver, PDRIVER_INITIALIZE entry) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
  // RegistryPath is valid during DriverEntry only: a driver that keeps the
  // pointer instead of copying the string reads freed memory afterwards.
  std::vector<WCHAR> path = Terminated(ServiceKeyPath(driver));
  auto registry_path = std::make_unique<UNICODE_STRING>();
  SetString(registry_path.get(), path);
  driver->DriverInit = entry;
  DriverScope scope(driver);
  return entry(driver, registry_path.get());
}

std::string LeakReport(PDRIVER_OBJECT driver) {
  std::string report;
  ReportDeviceLeaks(driver, &report);
  ReportIrpLeaks(driver, &report);
  ReportPoolLeaks(driver, &report);
  ReportTimerAndDpcLeaks(driver, &report);
  ReportThreadLeaks(driver, &report);
  return report;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "DriverUnload");
  if (driver->DriverUnload != nullptr) {
    DriverScope scope(driver);
    driver->DriverUnload(driver);
  }
  {
    DriverState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = state.drivers.find(driver);
    if (found != state.drivers.end())
      found->second->unloaded = true;
  }
  const std::string report = LeakReport(driver);
  if (!report.empty()) {
    ReportViolation(Rule::kLeakAtUnload,
                    io::DriverLabel(driver) + " unloaded and left behind:\n" + report);
  }
}

}  // namespace vax::kernel
