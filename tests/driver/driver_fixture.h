// The driver on the simulated machine: a booted World with a USB host
// controller, Vaxport loaded from its service key and bound to the QZ719's
// hardware id, and simulated chips plugged in the way a user plugs them.
//
// Chips are plugged without the hub telling the PnP manager; the fixture
// reports the arrival itself so that a test sees AddDevice's or the start's
// status, and reports an unplug itself (Unplug) the way the hub would.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hardware/qz719/qz719_chip.h"
#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "usb/host_controller.h"
#include "vaxport.h"
#include "world/world.h"

namespace vax::test {

using hw::qz719::Qz719Descriptors;
using hw::qz719::Qz719Options;
namespace registry = kernel::registry;

inline constexpr std::u16string_view kHardwareId = u"USB\\VID_1E5A&PID_0719";
inline constexpr std::u16string_view kServiceName = u"Vaxport";

inline std::u16string SerialCommKey() {
  return std::u16string(registry::kDeviceMap) + u"\\SERIALCOMM";
}
inline std::u16string ServiceKey() {
  return std::u16string(registry::kServices) + u"\\" + std::u16string(kServiceName);
}

inline std::u16string Number(unsigned n) {
  std::u16string text;
  for (char c : std::to_string(n))
    text.push_back(static_cast<char16_t>(c));
  return text;
}

// A QZ719 that remembers every setup packet it was sent.
class WatchedChip : public hw::qz719::Qz719Chip {
 public:
  using Qz719Chip::Qz719Chip;

  usb::Handshake Control(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                         std::size_t* actual) override {
    setups.push_back(setup);
    return Qz719Chip::Control(setup, data, actual);
  }

  int Count(std::uint8_t request) const {
    int n = 0;
    for (const usb::SetupPacket& setup : setups)
      n += setup.bRequest == request;
    return n;
  }
  // The vendor requests (bRequest) in the order they came.
  std::vector<std::uint8_t> VendorRequests() const {
    std::vector<std::uint8_t> requests;
    for (const usb::SetupPacket& setup : setups) {
      if ((setup.bmRequestType & 0x60) == 0x40)
        requests.push_back(setup.bRequest);
    }
    return requests;
  }

  std::vector<usb::SetupPacket> setups;
};

// A test name from a table case's `name`: letters and digits, the rest '_'.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.name; *p != 0; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

struct ChipPlug {
  std::uint8_t version = 0x20;
  Qz719Options options;
  // The device's "PortName": a string, or raw REG_SZ data.
  std::optional<std::u16string> port_name;
  std::optional<std::vector<std::uint8_t>> port_name_bytes;
  // Runs between the plug and the arrival report (faults, registry...).
  std::function<void(int port)> before_arrival;
};

struct Plugged {
  WatchedChip* chip = nullptr;
  int usb_port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS arrival = STATUS_PENDING;  // AddDevice's failure or the start's status
};

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() : world_(Quiet()) {}

  static WorldOptions Quiet() {
    WorldOptions options;
    options.announce = false;
    return options;
  }

  void SetUp() override {
    usb::HostControllerOptions options;
    options.ports = 20;
    usb_ = std::make_unique<usb::HostController>(options);
  }

  void TearDown() override {
    Unload();
    usb_.reset();
    chips_.clear();
  }

  kernel::LoadedDriver* Load() {
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = kernel::LoadDriver(kServiceName, DriverEntry, &status);
    EXPECT_EQ(STATUS_SUCCESS, status);
    if (driver_ != nullptr)
      kernel::BindFunctionDriver(kHardwareId, driver_);
    return driver_;
  }

  // Removes every port, unloads and checks that the driver left nothing.
  void Unload() {
    if (driver_ != nullptr)
      kernel::UnloadDriver(driver_);
    driver_ = nullptr;
  }

  Plugged Plug(ChipPlug plug = {}) {
    Plugged plugged;
    auto chip = std::make_unique<WatchedChip>(plug.version, plug.options);
    plugged.chip = chip.get();
    usb::PlugOptions options;
    options.report_to_pnp = false;
    options.instance_id = std::u16string(kHardwareId) + u"\\QZ" + Number(++plugs_);
    const std::u16string parameters =
        std::u16string(registry::kEnum) + u"\\" + options.instance_id + u"\\Device Parameters";
    if (plug.port_name)
      registry::SetString(parameters, u"PortName", *plug.port_name);
    if (plug.port_name_bytes)
      registry::SetValue(parameters, u"PortName", REG_SZ, *plug.port_name_bytes);
    plugged.usb_port = usb_->Plug(chip.get(), options);
    EXPECT_NE(0, plugged.usb_port);
    chips_.push_back(std::move(chip));
    if (plugged.usb_port == 0)
      return plugged;
    plugged.pdo = usb_->Pdo(plugged.usb_port);
    if (plug.before_arrival)
      plug.before_arrival(plugged.usb_port);
    plugged.arrival = kernel::ReportDeviceArrival(plugged.pdo, usb_->HardwareId(plugged.usb_port));
    return plugged;
  }

  // The chip leaves the bus and the PnP manager hears of it.
  void Unplug(const Plugged& plugged) {
    usb_->Unplug(plugged.usb_port);
    kernel::ReportDeviceGone(plugged.pdo);
  }

  // Loads the driver if needed, plugs one chip of `version` into `plugged_`
  // and forgets the requests of its start, so a test sees only its own.
  PDEVICE_OBJECT PlugOneQuiet(std::uint8_t version) {
    if (driver_ == nullptr)
      Load();
    ChipPlug plug;
    plug.version = version;
    plugged_ = Plug(plug);
    EXPECT_EQ(STATUS_SUCCESS, plugged_.arrival);
    plugged_.chip->setups.clear();
    return PortFor(plugged_);
  }
  WatchedChip& chip() { return *plugged_.chip; }

  // The port the driver made for a device, or nullptr.
  static PDEVICE_OBJECT PortFor(const Plugged& plugged) {
    for (PDEVICE_OBJECT device : PortTable) {
      if (device != nullptr && PortOf(device)->Pdo == plugged.pdo)
        return device;
    }
    return nullptr;
  }
  static int SlotOf(PDEVICE_OBJECT device) {
    for (int slot = 0; slot < kMaxPorts; ++slot) {
      if (PortTable[slot] == device)
        return slot;
    }
    return -1;
  }
  static int PortCount() {
    int n = 0;
    for (PDEVICE_OBJECT device : PortTable)
      n += device != nullptr;
    return n;
  }

  // Runs driver code from the test's thread as the driver itself does, so
  // that what it allocates is charged to the driver.
  template <typename F>
  auto AsDriver(F&& body) {
    kernel::DriverScope scope(driver_->object);
    return body();
  }

  static std::u16string Text(PCUNICODE_STRING string) { return kernel::ToU16(string); }

  static std::optional<std::u16string> LinkTarget(std::u16string_view com_name) {
    return kernel::SymbolicLinkTarget(u"\\DosDevices\\" + std::u16string(com_name));
  }
  static std::optional<std::u16string> SerialComm(std::u16string_view device_name) {
    return registry::GetString(SerialCommKey(), device_name);
  }
  static std::vector<kernel::DeviceInterface> ComPortInterfaces() {
    return kernel::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT);
  }

  World world_;
  std::vector<std::unique_ptr<WatchedChip>> chips_;
  std::unique_ptr<usb::HostController> usb_;
  kernel::LoadedDriver* driver_ = nullptr;
  unsigned plugs_ = 0;
  Plugged plugged_;  // the chip of PlugOneQuiet
};

}  // namespace vax::test
