// The host controller's life, its hub ports (plug, unplug, the PDO each
// device gets), aborting and finishing transfers, and the capture.
#include <algorithm>
#include <cstdio>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "usb/bus.h"

namespace vax::usb {
namespace {

// The system clock starts in 1601, Unix time in 1970.
constexpr LONGLONG kUnixEpochIn100ns = 116444736000000000LL;

struct StatusPair {
  USBD_STATUS usbd;
  NTSTATUS nt;
};

// How the port driver turns a URB's status into its IRP's; anything not
// listed is a transaction error and becomes STATUS_UNSUCCESSFUL.
constexpr StatusPair kStatusMap[] = {
    {USBD_STATUS_SUCCESS, STATUS_SUCCESS},
    {USBD_STATUS_CANCELED, STATUS_CANCELLED},
    {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
    {USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
    {USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
    {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
    {USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
    {USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
    {USBD_STATUS_TIMEOUT, STATUS_IO_TIMEOUT},
};

struct ErrnoPair {
  USBD_STATUS usbd;
  std::int32_t status;
};

constexpr ErrnoPair kUsbmonStatus[] = {
    {USBD_STATUS_SUCCESS, usbmon_status::kOk},
    {USBD_STATUS_CANCELED, usbmon_status::kUnlinked},
    {USBD_STATUS_DEVICE_GONE, usbmon_status::kNoDevice},
    {USBD_STATUS_STALL_PID, usbmon_status::kStall},
    {USBD_STATUS_ENDPOINT_HALTED, usbmon_status::kStall},
    {USBD_STATUS_DATA_OVERRUN, usbmon_status::kOverflow},
    {USBD_STATUS_BABBLE_DETECTED, usbmon_status::kOverflow},
    {USBD_STATUS_DATA_UNDERRUN, usbmon_status::kShort},
    {USBD_STATUS_ERROR_SHORT_TRANSFER, usbmon_status::kShort},
    {USBD_STATUS_TIMEOUT, usbmon_status::kTimeout},
    {USBD_STATUS_INVALID_URB_FUNCTION, usbmon_status::kInvalid},
    {USBD_STATUS_INVALID_PARAMETER, usbmon_status::kInvalid},
    {USBD_STATUS_INVALID_PIPE_HANDLE, usbmon_status::kInvalid},
};

std::int32_t UsbmonStatus(USBD_STATUS status) {
  for (const ErrnoPair& pair : kUsbmonStatus) {
    if (pair.usbd == status)
      return pair.status;
  }
  return usbmon_status::kProtocol;
}

std::int64_t UnixTimeUs() {
  return (kernel::SystemTime() - kUnixEpochIn100ns) / 10;
}

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text != 0; ++text)
    out.push_back(static_cast<char16_t>(*text));
  return out;
}

void RemoveFrom(std::deque<Transfer*>& queue, Transfer* transfer) {
  auto found = std::find(queue.begin(), queue.end(), transfer);
  if (found != queue.end())
    queue.erase(found);
}

}  // namespace

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
  for (const StatusPair& pair : kStatusMap) {
    if (pair.usbd == status)
      return pair.nt;
  }
  return STATUS_UNSUCCESSFUL;
}

Outcome OutcomeOf(USBD_STATUS status) {
  return Outcome{status, NtStatusFromUsbd(status)};
}

Outcome OutcomeOf(GoneStatus status) {
  switch (status) {
    case GoneStatus::kCancelled:
      return Outcome{USBD_STATUS_CANCELED, STATUS_CANCELLED};
    case GoneStatus::kDeviceNotConnected:
      return Outcome{USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED};
    case GoneStatus::kNoSuchDevice:
      return Outcome{USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE};
  }
  return Outcome{USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED};
}

DEVICE_CAPABILITIES DefaultCapabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Removable = 1;
  caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
    caps.DeviceState[state] = PowerDeviceD3;
  }
  caps.SystemWake = PowerSystemUnspecified;
  caps.DeviceWake = PowerDeviceUnspecified;
  return caps;
}

// ---------------------------------------------------------------------------
// HostController: the public face

HostController::HostController(HostControllerOptions options)
    : impl_(std::make_unique<Impl>(options)) {
  impl_->Start();
}

HostController::~HostController() {
  impl_->Stop();
}

int HostController::Plug(UsbDevice* device, const PlugOptions& options) {
  return impl_->Plug(device, options);
}

void HostController::Unplug(int port) {
  impl_->Unplug(port, true);
}

PDEVICE_OBJECT HostController::Pdo(int port) const {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  DeviceState* device = impl_->AtPort(port);
  return device != nullptr ? device->pdo : nullptr;
}

std::u16string HostController::HardwareId(int port) const {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  DeviceState* device = impl_->AtPort(port);
  return device != nullptr ? device->hardware_id : std::u16string();
}

bool HostController::Connected(int port) const {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  DeviceState* device = impl_->AtPort(port);
  return device != nullptr && device->connected;
}

UsbFaults& HostController::Faults(int port) {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  DeviceState* device = impl_->AtPort(port);
  if (device == nullptr) {
    std::fprintf(stderr, "usb: no device was ever plugged into port %d\n", port);
    std::abort();
  }
  return device->faults;
}

void HostController::SetCapabilities(int port, const DEVICE_CAPABILITIES& capabilities) {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  if (DeviceState* device = impl_->AtPort(port))
    device->capabilities = capabilities;
}

DEVICE_POWER_STATE HostController::DevicePowerState(int port) const {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  DeviceState* device = impl_->AtPort(port);
  return device != nullptr ? device->power : PowerDeviceUnspecified;
}

void HostController::SetGoneStatuses(GoneStatus pending_at_unplug,
                                     GoneStatus submitted_after_unplug) {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  impl_->options.pending_at_unplug = pending_at_unplug;
  impl_->options.submitted_after_unplug = submitted_after_unplug;
}

void HostController::SetGonePortStatus(GonePortStatus status) {
  std::lock_guard<sim::Mutex> lock(impl_->mu);
  impl_->options.port_status_after_unplug = status;
}

bool HostController::StartCapture(const std::string& path) {
  std::lock_guard<sim::Mutex> lock(impl_->capture_mu);
  return impl_->capture.Open(path);
}

void HostController::StopCapture() {
  std::lock_guard<sim::Mutex> lock(impl_->capture_mu);
  impl_->capture.Close();
}

HostController::Stats HostController::stats() const {
  Stats stats;
  {
    std::lock_guard<sim::Mutex> lock(impl_->mu);
    stats = impl_->stats;
  }
  std::lock_guard<sim::Mutex> lock(impl_->capture_mu);
  stats.captured_urbs = impl_->captured_urbs;
  stats.captured_bytes = impl_->captured_bytes;
  return stats;
}

int HostController::PendingUrbs(int port) const {
  DeviceState* device;
  {
    std::lock_guard<sim::Mutex> lock(impl_->mu);
    device = impl_->AtPort(port);
  }
  return impl_->PendingFor(device);
}

// ---------------------------------------------------------------------------
// Life

HostController::Impl::Impl(HostControllerOptions options_in) : options(options_in) {
  if (options.ports < 1)
    options.ports = 1;
  ports.assign(static_cast<std::size_t>(options.ports), nullptr);
  last_in_port.assign(static_cast<std::size_t>(options.ports), nullptr);
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT pdo, PIRP irp);

void HostController::Impl::Start() {
  scheduler = sim::Scheduler::Current();
  if (scheduler == nullptr) {
    std::fprintf(stderr, "usb: a HostController needs a booted World\n");
    std::abort();
  }
  // Driver objects live until the I/O system is reset, so a second
  // controller in one World gets a name of its own.
  for (int n = 0; hub_driver == nullptr && n < 64; ++n) {
    std::u16string name = u"usbhub";
    if (n != 0)
      name += Ascii(std::to_string(n).c_str());
    hub_driver = kernel::CreateDriverObject(name);
  }
  if (hub_driver == nullptr) {
    std::fprintf(stderr, "usb: no driver object for the hub\n");
    std::abort();
  }
  hub_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  hub_driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  hub_driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  hub_driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;

  thread = scheduler->Spawn("usb-host-controller", 31, [this] { Run(); });
  hub_thread = scheduler->Spawn("usb-hub-pnp", 16, [this] {
    std::unique_lock<sim::Mutex> lock(mu);
    for (;;) {
      if (gone_reports.empty()) {
        if (hub_stop)
          return;
        lock.unlock();
        scheduler->Park(sim::kNoDeadline, "usb hub: waiting for a device to leave");
        lock.lock();
        continue;
      }
      DeviceState* device = gone_reports.front();
      gone_reports.pop_front();
      PDEVICE_OBJECT pdo = device->pdo;
      lock.unlock();
      if (pdo != nullptr)
        kernel::ReportDeviceGone(pdo);
      lock.lock();
    }
  });
}

void HostController::Impl::Stop() {
  // The bus takes its devices along as unplugging them would: the PnP
  // manager and their drivers see each one leave while the controller still
  // completes their requests.
  for (;;) {
    DeviceState* leaving = nullptr;
    {
      std::lock_guard<sim::Mutex> lock(mu);
      for (auto& device : devices) {
        if (device->connected) {
          leaving = device.get();
          break;
        }
      }
    }
    if (leaving == nullptr)
      break;
    UnplugDevice(leaving, true);
  }
  {
    std::lock_guard<sim::Mutex> lock(mu);
    hub_stop = true;
  }
  scheduler->Unpark(hub_thread);
  scheduler->Join(hub_thread);  // after the reports it still had
  {
    std::lock_guard<sim::Mutex> lock(mu);
    stop = true;
  }
  scheduler->Unpark(thread);
  scheduler->Join(thread);

  // Whatever is still pending completes now, so no IRP outlives the bus.
  std::vector<Transfer*> rest;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    rest.assign(done.begin(), done.end());
    done.clear();
  }
  for (Transfer* transfer : rest)
    Deliver(transfer);

  // PDOs that no removal deleted go with the bus, unless a driver is still
  // attached to one (the I/O system's reset then frees both).
  for (auto& device : devices) {
    PDEVICE_OBJECT pdo = device->pdo;
    if (pdo == nullptr || pdo->AttachedDevice != nullptr)
      continue;
    device->pdo = nullptr;
    IoDeleteDevice(pdo);
  }
  std::lock_guard<sim::Mutex> lock(capture_mu);
  capture.Close();
}

DeviceState* HostController::Impl::AtPort(int port) const {
  if (port < 1 || port > static_cast<int>(last_in_port.size()))
    return nullptr;
  return last_in_port[static_cast<std::size_t>(port - 1)];
}

int HostController::Impl::PendingFor(const DeviceState* device) const {
  std::lock_guard<sim::Mutex> lock(mu);
  int count = 0;
  for (const auto& [irp, transfer] : pending) {
    if (transfer->device == device)
      ++count;
  }
  return count;
}

void HostController::Impl::Wake() {
  if (scheduler->Self() == thread)
    return;  // it looks again before it parks
  {
    std::lock_guard<sim::Mutex> lock(mu);
    if (stop)
      return;  // joined or about to be
  }
  scheduler->Unpark(thread);
}

void HostController::Impl::OnActivity(DeviceState* device, std::uint8_t endpoint) {
  {
    std::lock_guard<sim::Mutex> lock(mu);
    if (!device->connected)
      return;
    ++device->activity[(endpoint & 0x0F) | ((endpoint & 0x80) != 0 ? 0x10 : 0)];
    for (auto& pipe : device->pipes) {
      if (pipe->current && pipe->endpoint == endpoint)
        pipe->waiting_activity = false;
    }
  }
  Wake();
}

// ---------------------------------------------------------------------------
// Hub ports

int HostController::Impl::Plug(UsbDevice* device, const PlugOptions& plug) {
  kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "HostController::Plug");
  const std::vector<std::uint8_t> descriptor = device->DeviceDescriptor();
  if (descriptor.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
    std::fprintf(stderr, "usb: a device descriptor of %zu bytes cannot enumerate\n",
                 descriptor.size());
    return 0;
  }
  const USHORT vendor = static_cast<USHORT>(descriptor[8] | descriptor[9] << 8);
  const USHORT product = static_cast<USHORT>(descriptor[10] | descriptor[11] << 8);

  auto state = std::make_unique<DeviceState>();
  DeviceState* dev = state.get();
  {
    std::lock_guard<sim::Mutex> lock(mu);
    int port = plug.port;
    if (port == 0) {
      for (int p = 1; p <= options.ports && port == 0; ++p) {
        if (ports[static_cast<std::size_t>(p - 1)] == nullptr)
          port = p;
      }
    }
    if (port < 1 || port > options.ports || ports[static_cast<std::size_t>(port - 1)] != nullptr) {
      return 0;
    }
    dev->hc = this;
    dev->port = port;
    dev->device = device;
    dev->address = next_address;
    next_address = static_cast<UCHAR>(next_address == 127 ? 1 : next_address + 1);
    dev->ep0_max_packet = descriptor[7] != 0 ? descriptor[7] : 8;
    dev->capabilities = plug.capabilities;
    // Reserve the port while the PDO is made.
    ports[static_cast<std::size_t>(port - 1)] = dev;
  }

  char id[64];
  std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", vendor, product);
  dev->hardware_id = Ascii(id);
  if (plug.instance_id.empty()) {
    char instance[32];
    std::snprintf(instance, sizeof(instance), "\\%u&%d", options.bus_number, dev->port);
    dev->instance_id = dev->hardware_id + Ascii(instance);
  } else {
    dev->instance_id = plug.instance_id;
  }

  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status;
  {
    kernel::DriverScope scope(hub_driver);
    status = IoCreateDevice(hub_driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_USB,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  }
  if (!NT_SUCCESS(status)) {
    std::lock_guard<sim::Mutex> lock(mu);
    ports[static_cast<std::size_t>(dev->port - 1)] = nullptr;
    return 0;
  }
  static_cast<PdoExtension*>(pdo->DeviceExtension)->device = dev;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  kernel::SetDeviceInstanceId(pdo, dev->instance_id);
  dev->pdo = pdo;
  dev->faults.state_->SetChanged([this] { Wake(); });
  device->SetActivityListener([this, dev](std::uint8_t endpoint) { OnActivity(dev, endpoint); });

  const int port = dev->port;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    last_in_port[static_cast<std::size_t>(port - 1)] = dev;
    dev->reported = plug.report_to_pnp;
    devices.push_back(std::move(state));
  }
  if (plug.report_to_pnp)
    kernel::ReportDeviceArrival(pdo, dev->hardware_id);
  return port;
}

void HostController::Impl::Unplug(int port, bool report_now) {
  DeviceState* device = nullptr;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    if (port < 1 || port > options.ports)
      return;
    device = ports[static_cast<std::size_t>(port - 1)];
  }
  if (device != nullptr)
    UnplugDevice(device, report_now);
}

void HostController::Impl::UnplugDevice(DeviceState* device, bool report_now) {
  PDEVICE_OBJECT report = nullptr;
  UsbDevice* hardware;
  bool stopping;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    stopping = hub_stop;
    if (!device->connected)
      return;
    hardware = device->device;
    GoneLocked(device);
    if (device->reported && !device->gone_reported) {
      device->gone_reported = true;
      if (report_now) {
        report = device->pdo;
      } else {
        gone_reports.push_back(device);
      }
    }
  }
  // From now on the device may go away; a late notification finds it
  // disconnected.
  hardware->SetActivityListener({});
  Wake();
  if (report != nullptr)
    kernel::ReportDeviceGone(report);
  else if (!report_now && !stopping)
    scheduler->Unpark(hub_thread);
}

void HostController::Impl::GoneLocked(DeviceState* device) {
  device->connected = false;
  ports[static_cast<std::size_t>(device->port - 1)] = nullptr;
  AbortDeviceLocked(device, OutcomeOf(options.pending_at_unplug), true);
}

// ---------------------------------------------------------------------------
// Finishing transfers

void HostController::Impl::FinishLocked(Transfer* transfer, const Outcome& outcome,
                                        sim::Ticks due) {
  DeviceState* device = transfer->device;
  switch (transfer->kind) {
    case TransferKind::kData:
      RemoveFrom(transfer->pipe->queue, transfer);
      break;
    case TransferKind::kControl:
    case TransferKind::kSetConfiguration:
    case TransferKind::kClearHalt:
      RemoveFrom(device->control, transfer);
      break;
    case TransferKind::kPortReset:
      RemoveFrom(device->port_resets, transfer);
      device->resetting.erase(
          std::remove(device->resetting.begin(), device->resetting.end(), transfer),
          device->resetting.end());
      break;
  }
  transfer->outcome = outcome;
  transfer->state = TransferState::kCompleting;
  transfer->due = due != 0 ? due : sim::Now();
  done.push_back(transfer);
}

void HostController::Impl::AbortPipeLocked(Pipe* pipe, const Outcome& outcome) {
  const std::deque<Transfer*> queue = pipe->queue;
  for (Transfer* transfer : queue) {
    if (transfer->state == TransferState::kInFlight) {
      transfer->abort = outcome;
    } else {
      FinishLocked(transfer, outcome);
    }
  }
}

void HostController::Impl::AbortDeviceLocked(DeviceState* device, const Outcome& outcome,
                                             bool include_resets) {
  for (auto& pipe : device->pipes)
    AbortPipeLocked(pipe.get(), outcome);
  const std::deque<Transfer*> control = device->control;
  for (Transfer* transfer : control) {
    if (transfer->state == TransferState::kInFlight) {
      transfer->abort = outcome;
    } else {
      FinishLocked(transfer, outcome);
    }
  }
  if (!include_resets)
    return;
  std::vector<Transfer*> resets(device->port_resets.begin(), device->port_resets.end());
  resets.insert(resets.end(), device->resetting.begin(), device->resetting.end());
  for (Transfer* transfer : resets)
    FinishLocked(transfer, outcome);
  device->reset_end_frame = -1;
}

void HostController::Impl::HaltPipeLocked(Pipe* pipe, sim::Ticks due) {
  pipe->halted = true;
  const std::deque<Transfer*> queue = pipe->queue;
  for (Transfer* transfer : queue) {
    if (transfer->state != TransferState::kInFlight) {
      FinishLocked(transfer, OutcomeOf(USBD_STATUS_ENDPOINT_HALTED), due);
    }
  }
}

void HostController::Impl::CompleteNow(PIRP irp, PURB urb, const Outcome& outcome) {
  if (urb != nullptr)
    urb->UrbHeader.Status = outcome.usbd;
  irp->IoStatus.Status = outcome.nt;
  irp->IoStatus.Information = 0;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    ++stats.urbs_completed;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------------------
// Capture

namespace {

bool Captured(const Transfer& transfer) {
  return transfer.kind != TransferKind::kPortReset;
}

UsbmonEvent EventOf(const Transfer& transfer, USHORT bus) {
  UsbmonEvent event;
  event.id = transfer.capture_id;
  event.device = transfer.device->address;
  event.bus = bus;
  event.unix_time_us = UnixTimeUs();
  if (transfer.kind == TransferKind::kData) {
    const Pipe& pipe = *transfer.pipe;
    event.transfer_type = pipe.type == UsbdPipeTypeInterrupt ? UsbmonTransferType::kInterrupt
                                                             : UsbmonTransferType::kBulk;
    event.endpoint = pipe.endpoint;
    if (pipe.type == UsbdPipeTypeInterrupt)
      event.interval = pipe.interval;
  } else {
    event.transfer_type = UsbmonTransferType::kControl;
    event.endpoint = transfer.in ? 0x80 : 0x00;
  }
  if (transfer.in)
    event.flags |= kUsbmonDirIn;
  if (transfer.in && !transfer.short_ok)
    event.flags |= kUsbmonShortNotOk;
  return event;
}

}  // namespace

std::uint64_t HostController::Impl::CaptureSubmit(const Transfer& transfer) {
  if (!Captured(transfer))
    return 0;
  std::lock_guard<sim::Mutex> lock(capture_mu);
  if (!capture.is_open())
    return 0;
  UsbmonEvent event = EventOf(transfer, options.bus_number);
  event.id = next_capture_id++;
  event.type = 'S';
  event.status = usbmon_status::kInProgress;
  event.length = transfer.length;
  if (transfer.kind != TransferKind::kData) {
    const SetupPacket& s = transfer.setup;
    const std::uint8_t setup[8] = {s.bmRequestType,
                                   s.bRequest,
                                   static_cast<std::uint8_t>(s.wValue),
                                   static_cast<std::uint8_t>(s.wValue >> 8),
                                   static_cast<std::uint8_t>(s.wIndex),
                                   static_cast<std::uint8_t>(s.wIndex >> 8),
                                   static_cast<std::uint8_t>(s.wLength),
                                   static_cast<std::uint8_t>(s.wLength >> 8)};
    event.has_setup = true;
    std::copy(setup, setup + 8, event.setup);
  }
  if (!transfer.in && transfer.length != 0 && transfer.buffer != nullptr) {
    event.data = transfer.buffer;
    event.data_length = transfer.length;
  }
  capture.Write(event);
  ++captured_urbs;
  captured_bytes += event.data_length;
  return event.id;
}

void HostController::Impl::CaptureComplete(const Transfer& transfer) {
  if (transfer.capture_id == 0)
    return;
  std::lock_guard<sim::Mutex> lock(capture_mu);
  if (!capture.is_open())
    return;
  UsbmonEvent event = EventOf(transfer, options.bus_number);
  event.type = 'C';
  event.status = UsbmonStatus(transfer.outcome.usbd);
  event.length = transfer.actual;
  if (transfer.in && transfer.actual != 0 && transfer.buffer != nullptr) {
    event.data = transfer.buffer;
    event.data_length = transfer.actual;
  }
  capture.Write(event);
  captured_bytes += event.data_length;
}

}  // namespace vax::usb
