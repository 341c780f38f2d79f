// The system's WM_DEVICECHANGE broadcasts for ports: when a COM port's
// interface (GUID_DEVINTERFACE_COMPORT) is enabled or disabled, every
// top-level window receives DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE with
// a DEV_BROADCAST_PORT_A naming the port.
//
// On Windows the broadcast comes from the user-mode Plug and Play service,
// long after the driver's IoSetDeviceInterfaceState has returned. Here one
// broadcaster thread plays that part: the interface hook only queues the
// notice, so no window procedure ever runs inside a driver's call, and
// notices reach the windows in the order the interfaces changed.
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <dbt.h>

#include "kernel/io.h"
#include "nt/serial.h"
#include "win32/user.h"

namespace vax::win32::internal {
namespace {

// How long the broadcaster waits for one window's reply. A thread that does
// not retrieve its messages for that long is hung, and the broadcast moves on
// to the next window.
constexpr vax::sim::Ticks kReplyTimeout = 30 * vax::sim::kTicksPerSecond;

struct Notice {
  WPARAM event;
  std::shared_ptr<std::vector<unsigned char>> broadcast;  // the DEV_BROADCAST_PORT_A
};

struct BroadcastState {
  vax::sim::Mutex mutex;
  std::deque<Notice> pending;
  bool broadcasting = false;  // a broadcaster thread is draining `pending`
  int hook = 0;
};

BroadcastState*& StatePointer() {
  static BroadcastState* state = nullptr;
  return state;
}

std::string Ascii(std::u16string_view text) {
  std::string narrow;
  for (char16_t unit : text)
    narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return narrow;
}

// The port's COM name: PortName in the device's hardware key, where the
// ports class installer keeps it, else the SERIALCOMM entry of a device in
// its stack.
std::optional<std::string> PortNameOf(PDEVICE_OBJECT pdo) {
  namespace registry = vax::kernel::registry;
  if (auto name = registry::GetString(registry::DeviceParametersPath(pdo), u"PortName")) {
    return Ascii(*name);
  }
  const std::u16string serialcomm = std::u16string(registry::kDeviceMap) + u"\\SERIALCOMM";
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
    const std::u16string device_name = vax::kernel::DeviceName(device);
    if (device_name.empty())
      continue;
    if (auto name = registry::GetString(serialcomm, device_name))
      return Ascii(*name);
  }
  return std::nullopt;
}

std::shared_ptr<std::vector<unsigned char>> PortBroadcast(const std::string& name) {
  const std::size_t offset = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
  auto bytes = std::make_shared<std::vector<unsigned char>>(offset + name.size() + 1, 0);
  DEV_BROADCAST_HDR header{};
  header.dbch_size = static_cast<DWORD>(bytes->size());
  header.dbch_devicetype = DBT_DEVTYP_PORT;
  std::memcpy(bytes->data(), &header, sizeof(header));
  std::memcpy(bytes->data() + offset, name.c_str(), name.size() + 1);
  return bytes;
}

void Deliver(const Notice& notice) {
  const auto lparam = reinterpret_cast<LPARAM>(notice.broadcast->data());
  for (HWND window : BroadcastTargets()) {
    LRESULT ignored;
    SendToWindow(window, WM_DEVICECHANGE, notice.event, lparam, notice.broadcast,
                 vax::sim::Now() + kReplyTimeout, &ignored);
  }
}

// The broadcaster: delivers notices until none is left, then ends; the next
// notice starts another.
void Broadcaster() {
  for (;;) {
    Notice notice;
    {
      BroadcastState& state = *StatePointer();
      std::lock_guard<vax::sim::Mutex> lock(state.mutex);
      if (state.pending.empty()) {
        state.broadcasting = false;
        break;
      }
      notice = std::move(state.pending.front());
      state.pending.pop_front();
    }
    Deliver(notice);
  }
  ForgetThread(vax::sim::Scheduler::Current()->Self());
}

void InterfaceChanged(const vax::kernel::DeviceInterface& change) {
  if (change.class_guid != GUID_DEVINTERFACE_COMPORT)
    return;
  const std::optional<std::string> name = PortNameOf(change.pdo);
  if (!name)
    return;
  Notice notice{static_cast<WPARAM>(change.enabled ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE),
                PortBroadcast(*name)};
  bool start;
  {
    BroadcastState& state = *StatePointer();
    std::lock_guard<vax::sim::Mutex> lock(state.mutex);
    state.pending.push_back(std::move(notice));
    start = !state.broadcasting;
    state.broadcasting = true;
  }
  if (start)
    vax::sim::Scheduler::Current()->Spawn("win32-device-broadcast", 8, Broadcaster);
}

}  // namespace

void BootBroadcasts() {
  delete StatePointer();
  StatePointer() = new BroadcastState();
  StatePointer()->hook = vax::kernel::AddDeviceInterfaceHook(InterfaceChanged);
}

void ShutdownBroadcasts() {
  vax::kernel::RemoveDeviceInterfaceHook(StatePointer()->hook);
  StatePointer()->hook = 0;
}

}  // namespace vax::win32::internal
