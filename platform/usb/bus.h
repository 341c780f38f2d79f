// What the files of the USB stack share: the host controller's state, its
// devices, pipes and transfers. Nothing outside platform/usb includes this.
//
// Locking: one sim::Mutex (Impl::mu) guards every field below unless a field
// says otherwise. It is never held across a call into a device, a driver or
// the I/O manager, and never across a scheduling point. Transfers are freed
// only by the controller thread, so a transfer it is working on stays valid
// while the lock is dropped.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "nt/usb.h"
#include "sim/scheduler.h"
#include "usb/host_controller.h"
#include "usb/usb_device.h"
#include "usb/usbmon_writer.h"

namespace vax::usb {

struct DeviceState;
struct Transfer;

// The status pair a completion carries: the URB's and the IRP's.
struct Outcome {
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  NTSTATUS nt = STATUS_SUCCESS;
};

// USBD status → IRP status, as the port driver maps them.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);
Outcome OutcomeOf(USBD_STATUS status);
Outcome OutcomeOf(GoneStatus status);

// One bulk or interrupt endpoint of a selected configuration. Its address is
// the pipe handle. Pipes are never freed before the controller, so a handle
// from an earlier configuration stays recognisable as stale.
struct Pipe {
  DeviceState* device = nullptr;
  UCHAR endpoint = 0;  // bEndpointAddress
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  USHORT max_packet = 0;
  UCHAR interval = 0;
  ULONG max_transfer = 0;
  bool current = false;  // part of the device's current configuration
  bool halted = false;   // host side: STALL or babble; cleared by a pipe reset
  // The endpoint NAKed: asked again after the device's activity notification
  // (or after nak_poll_frames).
  bool waiting_activity = false;
  std::int64_t nak_frame = 0;
  std::int64_t next_frame = 0;  // interrupt: first frame of the next poll
  std::deque<Transfer*> queue;
};

enum class TransferKind {
  kData,              // bulk or interrupt: `pipe`
  kControl,           // a control transfer on the default pipe
  kSetConfiguration,  // SELECT_CONFIGURATION: SET_CONFIGURATION, then the pipes
  kClearHalt,         // SYNC_RESET_PIPE_AND_CLEAR_STALL or SYNC_CLEAR_STALL of `pipe`
  kPortReset,         // IOCTL_INTERNAL_USB_RESET_PORT
};

enum class TransferState {
  kQueued,      // in its queue
  kInFlight,    // the controller is calling the device for it, lock dropped
  kCompleting,  // in Impl::done, waiting for its due time
  kDelivering,  // being completed to the driver
};

// What a SELECT_CONFIGURATION installs for one interface.
struct InterfacePlan {
  PUSBD_INTERFACE_INFORMATION info = nullptr;  // in the caller's URB
  USB_INTERFACE_DESCRIPTOR descriptor{};
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

struct Transfer {
  PIRP irp = nullptr;
  PURB urb = nullptr;  // nullptr for a port reset
  DeviceState* device = nullptr;
  TransferKind kind = TransferKind::kData;
  Pipe* pipe = nullptr;
  std::uint64_t capture_id = 0;  // 0: not captured

  SetupPacket setup{};  // control kinds
  UCHAR* buffer = nullptr;
  ULONG length = 0;  // bytes asked for (data stage for control)
  // The URB's TransferBufferLength, which receives `actual`; nullptr for
  // requests without one (features, selections, port resets).
  ULONG* length_field = nullptr;
  ULONG actual = 0;  // bytes moved so far
  bool in = false;
  bool short_ok = false;

  bool cancelable = true;         // a cancel routine is set while it pends
  bool held = false;              // fault: never served
  std::optional<Outcome> forced;  // fault: completes with this, unserved
  // Set while in flight by a cancel, an abort, an unplug or a port reset:
  // the controller finishes the transfer with it after the device call.
  std::optional<Outcome> abort;
  TransferState state = TransferState::kQueued;

  // kSetConfiguration (no plans and value 0: unconfigure).
  UCHAR configuration_value = 0;
  std::vector<InterfacePlan> plans;
  // kClearHalt: reset the host side of `pipe`, send CLEAR_FEATURE to the device.
  bool reset_host = false;
  bool clear_device = false;

  Outcome outcome;
  sim::Ticks due = 0;
};

// Fault state of one device; UsbFaults is its face to tests.
class UsbFaults::State {
 public:
  // The controller wakes up on a new unplug deadline.
  void SetChanged(std::function<void()> changed);

  void StallEndpoint(std::uint8_t endpoint);
  void FailNextUrbs(std::uint8_t endpoint, int count, Outcome outcome);
  void HoldNextUrbs(std::uint8_t endpoint, int count);
  void AnswerShort(std::uint8_t request, std::size_t bytes, int count);
  void UnplugAt(sim::Ticks when);
  void UnplugAfterUrbs(int count);
  void Clear();

  // The controller's questions. Each Take* consumes what it returns.
  bool Stalled(std::uint8_t endpoint);  // data endpoints
  bool TakeControlStall();
  void ClearStall(std::uint8_t endpoint);
  void ClearAllStalls();
  std::optional<Outcome> TakeFailure(std::uint8_t endpoint);
  bool TakeHold(std::uint8_t endpoint);
  std::optional<std::size_t> TakeShortAnswer(std::uint8_t request);
  sim::Ticks unplug_at();
  // A URB of the device completed; true when that was the last one allowed.
  bool CountCompletion();

 private:
  struct Failure {
    int count;
    Outcome outcome;
  };
  struct Short {
    int count;
    std::size_t bytes;
  };
  sim::Mutex mu_;
  std::function<void()> changed_;
  std::unordered_set<std::uint8_t> stalled_;
  bool control_stall_ = false;
  std::unordered_map<std::uint8_t, Failure> failures_;
  std::unordered_map<std::uint8_t, int> holds_;
  std::unordered_map<std::uint8_t, Short> shorts_;
  sim::Ticks unplug_at_ = sim::kNoDeadline;
  int unplug_after_ = -1;
};

struct DeviceState {
  HostController::Impl* hc = nullptr;
  int port = 0;
  UsbDevice* device = nullptr;   // not to be touched once !connected
  PDEVICE_OBJECT pdo = nullptr;  // nullptr once deleted
  UCHAR address = 0;
  USHORT ep0_max_packet = 8;
  std::u16string hardware_id;
  std::u16string instance_id;

  bool connected = true;  // on the bus; false from the moment it is unplugged
  bool reported = false;  // reported to the PnP manager
  bool gone_reported = false;
  bool removed = false;  // IRP_MN_REMOVE_DEVICE seen while present (until the next start)
  DEVICE_CAPABILITIES capabilities{};
  DEVICE_POWER_STATE power = PowerDeviceD0;

  UCHAR configuration_value = 0;
  std::vector<std::unique_ptr<Pipe>> pipes;              // every pipe ever selected
  std::vector<std::unique_ptr<std::uint8_t[]>> handles;  // configuration and interface handles
  std::deque<Transfer*> control;      // default pipe: one control transfer per frame
  std::deque<Transfer*> port_resets;  // waiting to start
  std::vector<Transfer*> resetting;   // the port reset in progress
  std::int64_t reset_end_frame = -1;  // >= 0 while the port is in reset
  // Bumped by every activity notification, so a notification that races a
  // NAK is not lost.
  std::array<std::uint32_t, 32> activity{};

  UsbFaults faults;
};

// The bus driver's extension of a PDO.
struct PdoExtension {
  DeviceState* device;
};

class HostController::Impl {
 public:
  explicit Impl(HostControllerOptions options);

  // host_controller.cpp
  void Start();
  void Stop();
  int Plug(UsbDevice* device, const PlugOptions& options);
  // The device leaves the bus; the PnP manager is told in this thread
  // (report_now) or by the hub thread.
  void Unplug(int port, bool report_now);
  void UnplugDevice(DeviceState* device, bool report_now);
  DeviceState* AtPort(int port) const;              // lock held
  int PendingFor(const DeviceState* device) const;  // transfers not yet completed
  void Wake();
  void OnActivity(DeviceState* device, std::uint8_t endpoint);
  // Marks the device gone and fails everything it has pending. Lock held.
  void GoneLocked(DeviceState* device);
  // Moves a transfer that is not in flight out of its queue to `done` with
  // `outcome`, due at `due` (now when 0). Lock held.
  void FinishLocked(Transfer* transfer, const Outcome& outcome, sim::Ticks due = 0);
  // Cancels (or marks, when in flight) every transfer of a pipe or a device.
  void AbortPipeLocked(Pipe* pipe, const Outcome& outcome);
  void AbortDeviceLocked(DeviceState* device, const Outcome& outcome, bool include_resets);
  void HaltPipeLocked(Pipe* pipe, sim::Ticks due);
  // Completes an IRP at once in the calling thread, with the URB's status.
  void CompleteNow(PIRP irp, PURB urb, const Outcome& outcome);
  sim::Ticks FrameEnd(std::int64_t frame) const { return (frame + 1) * sim::kTicksPerMs; }

  // Capture of one submission ('S') or completion ('C').
  std::uint64_t CaptureSubmit(const Transfer& transfer);
  void CaptureComplete(const Transfer& transfer);
  void CaptureRejected(DeviceState* device, PURB urb, const Outcome& outcome);

  // urb.cpp: IOCTL_INTERNAL_USB_SUBMIT_URB.
  NTSTATUS SubmitUrb(DeviceState* device, PIRP irp, PURB urb);
  // Queues `transfer` (owned from now on), pends the IRP with a cancel
  // routine and wakes the controller. Returns STATUS_PENDING.
  NTSTATUS Enqueue(std::unique_ptr<Transfer> transfer);
  static void NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void InstallConfigurationLocked(Transfer* transfer);

  // frames.cpp: the controller thread.
  void Run();
  std::int64_t EarliestFrameLocked(std::int64_t from) const;
  bool PipeReadyLocked(const Pipe* pipe, std::int64_t frame) const;
  void RunFrame(std::int64_t frame);
  bool ServePortReset(std::unique_lock<sim::Mutex>& lock, DeviceState* device, std::int64_t frame);
  void ServeControl(std::unique_lock<sim::Mutex>& lock, DeviceState* device, std::int64_t frame,
                    std::int64_t* budget);
  bool ServePacket(std::unique_lock<sim::Mutex>& lock, Pipe* pipe, std::int64_t frame,
                   std::int64_t* budget);
  void Deliver(Transfer* transfer);

  HostControllerOptions options;
  PDRIVER_OBJECT hub_driver = nullptr;
  sim::Scheduler* scheduler = nullptr;
  sim::Thread* thread = nullptr;      // the controller: frames and completions
  sim::Thread* hub_thread = nullptr;  // tells the PnP manager of scheduled unplugs

  mutable sim::Mutex mu;
  bool stop = false;      // the controller thread ends
  bool hub_stop = false;  // the hub thread ends once its reports are made
  std::vector<std::unique_ptr<DeviceState>> devices;  // every device ever plugged
  std::vector<DeviceState*> ports;                    // port - 1 → device or nullptr
  std::vector<DeviceState*> last_in_port;             // port - 1 → the latest device there
  std::unordered_map<PIRP, std::unique_ptr<Transfer>> pending;
  std::unordered_set<PIRP> orphan_cancels;  // cancelled before they were queued
  std::deque<Transfer*> done;               // completing, in order
  std::deque<DeviceState*> gone_reports;    // for the hub thread
  std::int64_t last_frame = -1;
  UCHAR next_address = 1;
  HostController::Stats stats;

  // Guards the capture and its counters; never taken before mu.
  sim::Mutex capture_mu;
  UsbmonWriter capture;
  std::uint64_t next_capture_id = 1;
  std::uint64_t captured_urbs = 0;
  std::uint64_t captured_bytes = 0;
};

}  // namespace vax::usb
