// vaxsim ports: the ports the driver makes of the chips a user plugs in.
//
// Loads Vaxport on the simulated machine, plugs QZ719 chips of each
// generation in turn (1, 0x20, 0x25, 0x30, ...), and prints, per port, its
// device name, COM name and link, its SERIALCOMM value, the state of its
// COM-port interface, the chip generation the driver learnt and the pipe
// handles it took. The first chip may carry a "PortName" value. The driver is
// unloaded at the end, which checks that it left nothing behind.
#include "vaxsim/ports.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hardware/qz719/qz719_chip.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "usb/host_controller.h"
#include "vaxport.h"
#include "world/world.h"

namespace vax::tools {
namespace {

constexpr std::uint8_t kGenerations[] = {0x01, 0x20, 0x25, 0x30};
constexpr char16_t kHardwareId[] = u"USB\\VID_1E5A&PID_0719";

std::u16string Widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string& text) {
  return kernel::Narrow(text);
}

std::string InterfaceState(PDEVICE_OBJECT pdo) {
  for (const kernel::DeviceInterface& interface :
       kernel::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT)) {
    if (interface.pdo == pdo) {
      return std::string(interface.enabled ? "enabled" : "disabled") + "  " +
             Narrow(interface.symbolic_link);
    }
  }
  return "not registered";
}

void PrintPort(int slot, PDEVICE_OBJECT device) {
  const PORT_EXTENSION* port = PortOf(device);
  const std::u16string device_name = kernel::ToU16(&port->DeviceName);
  const std::u16string com_name = kernel::ToU16(&port->ComName);
  const auto link = kernel::SymbolicLinkTarget(u"\\DosDevices\\" + com_name);
  const auto serialcomm = kernel::registry::GetString(
      std::u16string(kernel::registry::kDeviceMap) + u"\\SERIALCOMM", device_name);

  std::printf("port %d\n", slot);
  std::printf("  device name   %s\n", Narrow(device_name).c_str());
  std::printf("  COM name      %s  (\\DosDevices\\%s -> %s)\n", Narrow(com_name).c_str(),
              Narrow(com_name).c_str(), link ? Narrow(*link).c_str() : "no link");
  std::printf("  SERIALCOMM    %s = %s\n", Narrow(device_name).c_str(),
              serialcomm ? Narrow(*serialcomm).c_str() : "(none)");
  std::printf("  interface     %s\n", InterfaceState(port->Pdo).c_str());
  std::printf("  generation    0x%02X\n", static_cast<unsigned>(port->ChipVersion));
  std::printf("  pipes         interrupt %p, bulk-in %p, bulk-out %p\n", port->InterruptPipe,
              port->BulkInPipe, port->BulkOutPipe);
}

}  // namespace

int RunPorts(const PortsOptions& options) {
  WorldOptions world_options;
  world_options.announce = false;
  World world(world_options);
  std::printf("vaxsim ports: %d chip%s, %s\n", options.chips, options.chips == 1 ? "" : "s",
              world.options().sched.Describe().c_str());

  usb::HostControllerOptions usb_options;
  usb_options.ports = options.chips;
  auto usb = std::make_unique<usb::HostController>(usb_options);
  std::vector<std::unique_ptr<hw::qz719::Qz719Chip>> chips;

  NTSTATUS status = STATUS_SUCCESS;
  kernel::LoadedDriver* driver = kernel::LoadDriver(u"Vaxport", DriverEntry, &status);
  if (driver == nullptr) {
    std::printf("the driver did not load: status 0x%08X\n", static_cast<unsigned>(status));
    return 1;
  }
  kernel::BindFunctionDriver(kHardwareId, driver);

  int failures = 0;
  for (int i = 0; i < options.chips; ++i) {
    const std::uint8_t version = kGenerations[i % std::size(kGenerations)];
    chips.push_back(std::make_unique<hw::qz719::Qz719Chip>(version));
    usb::PlugOptions plug;
    plug.instance_id = std::u16string(kHardwareId) + u"\\VAXSIM" + Widen(std::to_string(i + 1));
    if (i == 0 && !options.port_name.empty()) {
      kernel::registry::SetString(std::u16string(kernel::registry::kEnum) + u"\\" +
                                      plug.instance_id + u"\\Device Parameters",
                                  u"PortName", Widen(options.port_name));
    }
    const int usb_port = usb->Plug(chips.back().get(), plug);
    PDEVICE_OBJECT pdo = usb_port != 0 ? usb->Pdo(usb_port) : nullptr;
    if (pdo == nullptr || kernel::DevicePnpState(pdo) != kernel::PnpState::kStarted) {
      std::printf("chip %d (generation 0x%02X): no started port (%s)\n", i + 1, version,
                  pdo != nullptr ? kernel::PnpStateName(kernel::DevicePnpState(pdo)) : "no PDO");
      ++failures;
    }
  }

  for (int slot = 0; slot < kMaxPorts; ++slot) {
    if (PortTable[slot] != nullptr)
      PrintPort(slot, PortTable[slot]);
  }

  kernel::UnloadDriver(driver);
  usb.reset();
  std::printf("unloaded: nothing left behind\n");
  return failures == 0 ? 0 : 1;
}

}  // namespace vax::tools
