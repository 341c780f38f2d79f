// The simulated USB bus: one full-speed host controller with a root hub of a
// few ports, and the bus driver's PDO for each device plugged into a port.
//
//   vax::World world;
//   vax::usb::HostController usb;
//   Qz719Chip chip(0x20);
//   int port = usb.Plug(&chip);       // PDO created, reported to PnP
//   ... the function driver sends URBs to usb.Pdo(port) ...
//   usb.Unplug(port);                 // pending URBs fail, surprise removal
//
// Timing follows full speed on the platform clock: the controller's own sim
// thread runs the schedule at 1 ms frame starts. A transfer submitted during
// a frame is looked at from the next frame start on and completes at the end
// of the frame that finished it, so a control transfer takes at least one
// frame; bulk and interrupt data share a per-frame byte budget. Completions
// run on the controller thread at DISPATCH_LEVEL, as a host controller's DPC
// would run them.
//
// An endpoint that answered NAK is asked again only after the device's
// activity notification (UsbDevice::NotifyActivity), so idle posted transfers
// cost no wake-ups. Destroying the controller unplugs what is still plugged
// (the PnP manager hears of it as of any unplug). Destroy the controller
// before the World, and unplug a device (or destroy the controller) before
// destroying the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "nt/usb.h"
#include "sim/scheduler.h"
#include "usb/usb_device.h"

namespace vax::usb {

// The status a URB gets once its device has left the bus. Windows versions
// differ; a test chooses.
enum class GoneStatus {
  kCancelled,           // USBD_STATUS_CANCELED, STATUS_CANCELLED
  kDeviceNotConnected,  // USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED
  kNoSuchDevice,        // USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE
};

// What IOCTL_INTERNAL_USB_GET_PORT_STATUS says about an empty port.
enum class GonePortStatus {
  kReportNotConnected,     // STATUS_SUCCESS with USBD_PORT_CONNECTED clear
  kFailDeviceNotConnected  // the request fails with STATUS_DEVICE_NOT_CONNECTED
};

struct HostControllerOptions {
  int ports = 4;
  USHORT bus_number = 1;
  // URBs pending on the device at the moment it is unplugged.
  GoneStatus pending_at_unplug = GoneStatus::kCancelled;
  // URBs submitted after it left.
  GoneStatus submitted_after_unplug = GoneStatus::kDeviceNotConnected;
  GonePortStatus port_status_after_unplug = GonePortStatus::kReportNotConnected;
  // A short IN packet ending a transfer that lacks USBD_SHORT_TRANSFER_OK
  // fails it with USBD_STATUS_DATA_UNDERRUN and halts the pipe, as the older
  // host controllers do. False: short transfers always succeed.
  bool strict_short_transfers = true;
  // Bulk, interrupt and control data bytes per 1 ms frame: 19 full 64-byte
  // bulk packets.
  std::uint32_t frame_budget_bytes = 19 * 64;
  // 0: a NAKed endpoint waits for the device's activity notification alone.
  // N > 0: it is also asked again every N frames while a transfer waits, for
  // devices that do not notify.
  int nak_poll_frames = 0;
};

// Frames a hub port reset holds the port (reset signalling and recovery).
constexpr int kPortResetFrames = 20;

// A removable USB device: Removable, D0 when working and D3 otherwise, no
// wake, no D1/D2, surprise removal not declared OK.
DEVICE_CAPABILITIES DefaultCapabilities();

struct PlugOptions {
  int port = 0;               // 0: the first free port
  bool report_to_pnp = true;  // false: the PDO exists but nobody is told; tests talk to it directly
  // Empty: USB\VID_vvvv&PID_pppp\<bus>&<port>.
  std::u16string instance_id;
  // What IRP_MN_QUERY_CAPABILITIES reports (Size, Version, Address and
  // UINumber are the bus driver's own).
  DEVICE_CAPABILITIES capabilities = DefaultCapabilities();
};

// Faults a test plants in one device's traffic. Fault injection only: the
// checks that judge how a driver copes live elsewhere. Endpoint 0 names the
// default pipe (every URB that becomes a control transfer).
class UsbFaults {
 public:
  UsbFaults();
  ~UsbFaults();
  UsbFaults(const UsbFaults&) = delete;
  UsbFaults& operator=(const UsbFaults&) = delete;

  // The endpoint answers STALL. A data endpoint stays halted until a
  // CLEAR_FEATURE(ENDPOINT_HALT) reaches it (URB_FUNCTION_SYNC_RESET_PIPE_
  // AND_CLEAR_STALL, SYNC_CLEAR_STALL, CLEAR_FEATURE_TO_ENDPOINT) or the port
  // is reset; endpoint 0 stalls the next control transfer only.
  void StallEndpoint(std::uint8_t endpoint);
  // The next `count` URBs of the pipe complete with `status`, without
  // reaching the device, at the end of the frame that would have served
  // them. `nt_status` 0 means the usual mapping of `status`.
  void FailNextUrbs(std::uint8_t endpoint, int count, USBD_STATUS status, NTSTATUS nt_status = 0);
  // The next `count` URBs of the pipe never move: they complete only when
  // aborted, cancelled, reset away or unplugged. Later URBs queue behind them.
  void HoldNextUrbs(std::uint8_t endpoint, int count = 1);
  // The next `count` control IN requests with this bRequest return at most
  // `bytes` bytes, whatever the device answered.
  void AnswerShort(std::uint8_t request, std::size_t bytes, int count = 1);
  // The device leaves the bus at virtual time `when`, or once `count` (1 or
  // more) further URBs of the device have completed: the last of them
  // completes normally, with the device already gone. Its PDO is reported
  // gone from the hub's own thread.
  void UnplugAt(sim::Ticks when);
  void UnplugAfterUrbs(int count);
  void Clear();

  class State;  // the host controller's side

 private:
  friend class HostController;
  std::unique_ptr<State> state_;
};

class HostController {
 public:
  explicit HostController(HostControllerOptions options = {});
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  // Plugs `device` into a free port: creates its PDO (hardware id
  // USB\VID_vvvv&PID_pppp from the device descriptor) and reports it to the
  // PnP manager, which loads the bound driver and starts it before this
  // returns. PASSIVE_LEVEL. Returns the port number (1-based), 0 if none is
  // free or the PDO could not be created.
  int Plug(UsbDevice* device, const PlugOptions& options = {});
  // The device leaves the bus now: its pending URBs complete with the
  // pending-at-unplug status, later ones fail, the port reads not connected;
  // then the PnP manager is told (surprise removal), in this thread.
  void Unplug(int port);

  // The PDO of the device in `port`, or of the last one that was there
  // (nullptr once deleted).
  PDEVICE_OBJECT Pdo(int port) const;
  std::u16string HardwareId(int port) const;
  bool Connected(int port) const;
  // Faults of the device now in `port` (or the last one that was there).
  UsbFaults& Faults(int port);
  // What the PDO reports to IRP_MN_QUERY_CAPABILITIES from now on.
  void SetCapabilities(int port, const DEVICE_CAPABILITIES& capabilities);
  DEVICE_POWER_STATE DevicePowerState(int port) const;

  // The gone behaviour may change between steps of a test.
  void SetGoneStatuses(GoneStatus pending_at_unplug, GoneStatus submitted_after_unplug);
  void SetGonePortStatus(GonePortStatus status);

  // Every URB submission and completion from now on goes to `path` as a
  // pcap file in the Linux usbmon format (link type 220). False if the file
  // cannot be written.
  bool StartCapture(const std::string& path);
  void StopCapture();

  struct Stats {
    std::uint64_t wakeups = 0;         // times the controller thread woke up
    std::uint64_t frames = 0;          // frames that served something
    std::uint64_t urbs_submitted = 0;  // URBs that reached the stack
    std::uint64_t urbs_completed = 0;
    std::uint64_t bytes = 0;          // data bytes moved on the bus
    std::uint64_t captured_urbs = 0;  // URBs written to the capture
    // Data bytes in the capture: OUT stages of submissions, IN data of
    // completions.
    std::uint64_t captured_bytes = 0;
  };
  Stats stats() const;
  // URBs of the device in `port` that have not completed yet.
  int PendingUrbs(int port) const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vax::usb
