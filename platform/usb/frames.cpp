// The controller thread: 1 ms frames on the platform clock. At each frame
// start it serves port resets, one control transfer per device, the
// interrupt endpoints whose interval has come, then bulk endpoints round
// robin, one packet each per round, until the frame's byte budget is spent.
// What a frame finishes completes at the end of that frame.
#include <algorithm>
#include <array>
#include <cstring>

#include "kernel/internal.h"
#include "usb/bus.h"

namespace vax::usb {
namespace {

constexpr std::int64_t kNoFrame = INT64_MAX;
// Full-speed packets never exceed this (isochronous maximum).
constexpr std::size_t kMaxPacket = 1023;

std::int64_t FrameCeil(sim::Ticks now) {
  return (now + sim::kTicksPerMs - 1) / sim::kTicksPerMs;
}

bool Servable(const Transfer* head) {
  return head != nullptr && !head->held && head->state == TransferState::kQueued;
}

std::size_t ActivityIndex(UCHAR endpoint) {
  return (endpoint & 0x0F) | ((endpoint & 0x80) != 0 ? 0x10 : 0);
}

}  // namespace

// The first frame at or after `from` in which something can move, or
// kNoFrame when everything waits for a device or a driver.
std::int64_t HostController::Impl::EarliestFrameLocked(std::int64_t from) const {
  std::int64_t earliest = kNoFrame;
  for (const auto& owned : devices) {
    const DeviceState* device = owned.get();
    if (!device->connected)
      continue;
    if (device->reset_end_frame >= 0) {
      earliest = std::min(earliest, std::max(from, device->reset_end_frame));
      continue;
    }
    if (!device->port_resets.empty())
      return from;
    if (!device->control.empty() && Servable(device->control.front()))
      return from;
    for (const auto& pipe : device->pipes) {
      if (!pipe->current || pipe->halted || pipe->queue.empty())
        continue;
      const Transfer* head = pipe->queue.front();
      if (!Servable(head))
        continue;
      std::int64_t frame = from;
      if (pipe->type == UsbdPipeTypeInterrupt)
        frame = std::max(frame, pipe->next_frame);
      if (pipe->waiting_activity && !head->forced) {
        if (options.nak_poll_frames <= 0)
          continue;
        frame = std::max(frame, pipe->nak_frame + options.nak_poll_frames);
      }
      earliest = std::min(earliest, frame);
    }
  }
  return earliest;
}

bool HostController::Impl::PipeReadyLocked(const Pipe* pipe, std::int64_t frame) const {
  if (!pipe->current || pipe->halted || pipe->queue.empty())
    return false;
  const Transfer* head = pipe->queue.front();
  if (!Servable(head))
    return false;
  if (head->forced)
    return true;
  if (pipe->device->reset_end_frame >= 0 || !pipe->device->connected)
    return false;
  if (pipe->type == UsbdPipeTypeInterrupt && frame < pipe->next_frame)
    return false;
  if (pipe->waiting_activity) {
    return options.nak_poll_frames > 0 && frame >= pipe->nak_frame + options.nak_poll_frames;
  }
  return true;
}

void HostController::Impl::Run() {
  std::unique_lock<sim::Mutex> lock(mu);
  std::int64_t armed = -1;  // the frame the last park waited for
  while (!stop) {
    const sim::Ticks now = sim::Now();

    std::vector<Transfer*> due;
    for (auto it = done.begin(); it != done.end();) {
      if ((*it)->due <= now) {
        due.push_back(*it);
        it = done.erase(it);
      } else {
        ++it;
      }
    }
    if (!due.empty()) {
      lock.unlock();
      for (Transfer* transfer : due)
        Deliver(transfer);
      lock.lock();
      continue;
    }

    bool unplugged = false;
    for (auto& device : devices) {
      if (device->connected && device->faults.state_->unplug_at() <= now) {
        DeviceState* leaving = device.get();
        lock.unlock();
        UnplugDevice(leaving, false);
        lock.lock();
        unplugged = true;
        break;
      }
    }
    if (unplugged)
      continue;

    // A frame runs at its start; a transfer submitted during a frame waits
    // for the next one. Woken late (free-running clock), run the frame that
    // is current.
    std::int64_t frame = -1;
    if (armed >= 0 && now >= armed * sim::kTicksPerMs) {
      frame = std::max(armed, now / sim::kTicksPerMs);
    } else if (FrameCeil(now) * sim::kTicksPerMs == now) {
      frame = FrameCeil(now);
    }
    if (frame > last_frame && EarliestFrameLocked(frame) == frame) {
      armed = -1;
      lock.unlock();
      RunFrame(frame);
      lock.lock();
      continue;
    }

    const std::int64_t next = EarliestFrameLocked(std::max(last_frame + 1, FrameCeil(now)));
    armed = next == kNoFrame ? -1 : next;
    sim::Ticks deadline = next == kNoFrame ? sim::kNoDeadline : next * sim::kTicksPerMs;
    for (const Transfer* transfer : done)
      deadline = std::min(deadline, transfer->due);
    for (const auto& device : devices) {
      if (device->connected)
        deadline = std::min(deadline, device->faults.state_->unplug_at());
    }
    const char* what = deadline == sim::kNoDeadline ? "usb host controller: idle"
                                                    : "usb host controller: next frame";
    lock.unlock();
    scheduler->Park(deadline, what);
    lock.lock();
    ++stats.wakeups;
  }
}

void HostController::Impl::RunFrame(std::int64_t frame) {
  std::unique_lock<sim::Mutex> lock(mu);
  last_frame = frame;
  ++stats.frames;
  std::int64_t budget = options.frame_budget_bytes;

  for (std::size_t i = 0; i < devices.size(); ++i) {
    DeviceState* device = devices[i].get();
    if (!device->connected)
      continue;
    if (ServePortReset(lock, device, frame))
      continue;
    ServeControl(lock, device, frame, &budget);
  }

  for (std::size_t i = 0; i < devices.size(); ++i) {
    DeviceState* device = devices[i].get();
    for (std::size_t p = 0; p < device->pipes.size(); ++p) {
      Pipe* pipe = device->pipes[p].get();
      if (pipe->type != UsbdPipeTypeInterrupt || !PipeReadyLocked(pipe, frame))
        continue;
      ServePacket(lock, pipe, frame, &budget);
      pipe->next_frame = frame + std::max<int>(1, pipe->interval);
    }
  }

  // Bulk pipes take turns, one packet each per round, starting one further
  // along every frame so none is always first.
  std::vector<Pipe*> bulk;
  for (auto& device : devices) {
    for (auto& pipe : device->pipes) {
      if (pipe->type == UsbdPipeTypeBulk && PipeReadyLocked(pipe.get(), frame)) {
        bulk.push_back(pipe.get());
      }
    }
  }
  if (!bulk.empty()) {
    std::rotate(bulk.begin(), bulk.begin() + static_cast<std::ptrdiff_t>(frame % bulk.size()),
                bulk.end());
  }
  bool moved = true;
  while (moved && budget > 0) {
    moved = false;
    for (Pipe* pipe : bulk) {
      if (PipeReadyLocked(pipe, frame) && ServePacket(lock, pipe, frame, &budget))
        moved = true;
    }
  }
}

// A port reset holds the port for kPortResetFrames: every transfer of the
// device is cancelled at its start, the device sees a bus reset, and at its
// end the hub puts the configuration back (SET_CONFIGURATION) so pipe
// handles stay valid. True when the port is busy with a reset this frame.
bool HostController::Impl::ServePortReset(std::unique_lock<sim::Mutex>& lock, DeviceState* device,
                                          std::int64_t frame) {
  if (device->reset_end_frame >= 0) {
    if (frame < device->reset_end_frame)
      return true;
    const UCHAR value = device->configuration_value;
    UsbDevice* hardware = device->device;
    lock.unlock();
    if (value != 0) {
      const SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
      std::size_t actual = 0;
      hardware->Control(setup, {}, &actual);
    }
    lock.lock();
    if (!device->connected)
      return true;
    device->reset_end_frame = -1;
    for (auto& pipe : device->pipes) {
      pipe->halted = false;
      pipe->waiting_activity = false;
    }
    const std::vector<Transfer*> resets = device->resetting;
    for (Transfer* transfer : resets) {
      FinishLocked(transfer, OutcomeOf(USBD_STATUS_SUCCESS), FrameEnd(frame));
    }
    return true;
  }
  if (device->port_resets.empty())
    return false;
  AbortDeviceLocked(device, OutcomeOf(USBD_STATUS_CANCELED), false);
  device->resetting.assign(device->port_resets.begin(), device->port_resets.end());
  device->port_resets.clear();
  device->reset_end_frame = frame + kPortResetFrames;
  device->faults.state_->ClearAllStalls();
  UsbDevice* hardware = device->device;
  lock.unlock();
  hardware->BusReset();
  lock.lock();
  return true;
}

// One control transfer of the device's default pipe: setup, data and status
// stages in this frame, completion at its end. A NAK leaves it for the next
// frame.
void HostController::Impl::ServeControl(std::unique_lock<sim::Mutex>& lock, DeviceState* device,
                                        std::int64_t frame, std::int64_t* budget) {
  if (device->control.empty() || !Servable(device->control.front()))
    return;
  Transfer* transfer = device->control.front();
  const sim::Ticks end = FrameEnd(frame);
  if (transfer->forced) {
    FinishLocked(transfer, *transfer->forced, end);
    return;
  }
  const bool stall = device->faults.state_->TakeControlStall();
  std::optional<std::size_t> short_answer;
  if (transfer->in)
    short_answer = device->faults.state_->TakeShortAnswer(transfer->setup.bRequest);
  UsbDevice* hardware = device->device;
  transfer->state = TransferState::kInFlight;
  lock.unlock();

  std::size_t actual = 0;
  Handshake handshake = Handshake::kStall;
  if (!stall) {
    std::span<std::uint8_t> data;
    if (transfer->buffer != nullptr)
      data = std::span<std::uint8_t>(transfer->buffer, transfer->length);
    handshake = hardware->Control(transfer->setup, data, &actual);
  }

  lock.lock();
  transfer->state = TransferState::kQueued;
  if (transfer->abort) {
    FinishLocked(transfer, *transfer->abort);
    return;
  }
  if (handshake == Handshake::kNak)
    return;
  if (handshake == Handshake::kStall) {
    // The host side of a pipe reset does not depend on the device's answer.
    if (transfer->kind == TransferKind::kClearHalt && transfer->reset_host) {
      transfer->pipe->halted = false;
      transfer->pipe->waiting_activity = false;
    }
    FinishLocked(transfer, OutcomeOf(USBD_STATUS_STALL_PID), end);
    return;
  }
  Outcome outcome = OutcomeOf(USBD_STATUS_SUCCESS);
  if (transfer->in) {
    actual = std::min<std::size_t>(actual, transfer->length);
    if (short_answer)
      actual = std::min(actual, *short_answer);
    transfer->actual = static_cast<ULONG>(actual);
    if (actual < transfer->length && !transfer->short_ok && options.strict_short_transfers) {
      outcome = OutcomeOf(USBD_STATUS_DATA_UNDERRUN);
    }
  } else {
    transfer->actual = transfer->length;
  }
  *budget -= transfer->actual;
  stats.bytes += transfer->actual;

  switch (transfer->kind) {
    case TransferKind::kSetConfiguration:
      InstallConfigurationLocked(transfer);
      break;
    case TransferKind::kClearHalt:
      device->faults.state_->ClearStall(transfer->pipe->endpoint);
      if (transfer->reset_host) {
        transfer->pipe->halted = false;
        transfer->pipe->waiting_activity = false;
      }
      break;
    case TransferKind::kControl:
      // A CLEAR_FEATURE(ENDPOINT_HALT) sent as a plain request clears the
      // device side of the endpoint, the host side stays as it is.
      if (transfer->setup.bmRequestType == 0x02 &&
          transfer->setup.bRequest == USB_REQUEST_CLEAR_FEATURE &&
          transfer->setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
        device->faults.state_->ClearStall(static_cast<std::uint8_t>(transfer->setup.wIndex));
      }
      break;
    case TransferKind::kData:
    case TransferKind::kPortReset:
      break;
  }
  FinishLocked(transfer, outcome, end);
}

// One packet on a bulk or interrupt pipe. True when the device took or gave
// data (a NAK, a STALL or a spent budget moves nothing).
bool HostController::Impl::ServePacket(std::unique_lock<sim::Mutex>& lock, Pipe* pipe,
                                       std::int64_t frame, std::int64_t* budget) {
  Transfer* transfer = pipe->queue.front();
  DeviceState* device = pipe->device;
  const sim::Ticks end = FrameEnd(frame);
  if (transfer->forced) {
    FinishLocked(transfer, *transfer->forced, end);
    return true;
  }
  const std::size_t packet = std::clamp<std::size_t>(pipe->max_packet, 1, kMaxPacket);
  const std::size_t remaining = transfer->length - transfer->actual;
  const std::size_t cost = transfer->in ? packet : std::min(packet, remaining);
  if (*budget < static_cast<std::int64_t>(cost))
    return false;

  const bool stall = device->faults.state_->Stalled(pipe->endpoint);
  const std::uint32_t activity = device->activity[ActivityIndex(pipe->endpoint)];
  UsbDevice* hardware = device->device;
  transfer->state = TransferState::kInFlight;
  lock.unlock();

  std::array<std::uint8_t, kMaxPacket> scratch{};
  std::size_t got = 0;
  Handshake handshake = Handshake::kStall;
  if (!stall) {
    if (transfer->in) {
      handshake =
          hardware->In(pipe->endpoint, std::span<std::uint8_t>(scratch.data(), packet), &got);
      got = std::min(got, packet);
    } else {
      handshake = hardware->Out(
          pipe->endpoint, std::span<const std::uint8_t>(transfer->buffer + transfer->actual, cost));
    }
  }

  lock.lock();
  transfer->state = TransferState::kQueued;
  bool moved = false;
  std::optional<Outcome> outcome;
  bool halt = false;
  switch (handshake) {
    case Handshake::kAck:
      moved = true;
      if (transfer->in) {
        const std::size_t take = std::min(got, remaining);
        if (take != 0)
          std::memcpy(transfer->buffer + transfer->actual, scratch.data(), take);
        transfer->actual += static_cast<ULONG>(take);
        *budget -= static_cast<std::int64_t>(got);
        stats.bytes += take;
        if (got > remaining) {
          // More than the buffer holds: babble, the endpoint halts.
          outcome = OutcomeOf(USBD_STATUS_DATA_OVERRUN);
          halt = true;
        } else if (got < packet || transfer->actual == transfer->length) {
          outcome = OutcomeOf(USBD_STATUS_SUCCESS);
          if (transfer->actual < transfer->length && !transfer->short_ok &&
              options.strict_short_transfers) {
            outcome = OutcomeOf(USBD_STATUS_DATA_UNDERRUN);
            halt = true;
          }
        }
      } else {
        transfer->actual += static_cast<ULONG>(cost);
        *budget -= static_cast<std::int64_t>(cost);
        stats.bytes += cost;
        if (transfer->actual == transfer->length)
          outcome = OutcomeOf(USBD_STATUS_SUCCESS);
      }
      break;
    case Handshake::kNak:
      // An activity notification that came while the device was answering
      // must not be lost: then the endpoint is simply asked next frame.
      if (device->activity[ActivityIndex(pipe->endpoint)] == activity) {
        pipe->waiting_activity = true;
        pipe->nak_frame = frame;
      }
      break;
    case Handshake::kStall:
      outcome = OutcomeOf(USBD_STATUS_STALL_PID);
      halt = true;
      break;
  }
  if (transfer->abort) {
    FinishLocked(transfer, *transfer->abort);
  } else if (outcome) {
    FinishLocked(transfer, *outcome, end);
  }
  if (halt)
    HaltPipeLocked(pipe, end);
  return moved;
}

// Completes one transfer to its driver, on the controller thread at
// DISPATCH_LEVEL.
void HostController::Impl::Deliver(Transfer* transfer) {
  DeviceState* device = transfer->device;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    transfer->state = TransferState::kDelivering;
  }
  PIRP irp = transfer->irp;
  PURB urb = transfer->urb;
  if (urb != nullptr) {
    urb->UrbHeader.Status = transfer->outcome.usbd;
    if (transfer->length_field != nullptr)
      *transfer->length_field = transfer->actual;
  }
  CaptureComplete(*transfer);
  if (IoSetCancelRoutine(irp, nullptr) == nullptr && transfer->cancelable) {
    // IoCancelIrp took the routine: wait until it has looked at the
    // transfer (it does so under the cancel spin lock) before the IRP goes.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
  irp->IoStatus.Status = transfer->outcome.nt;
  irp->IoStatus.Information = 0;
  const bool urb_completion = urb != nullptr;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    ++stats.urbs_completed;
    pending.erase(irp);  // frees the transfer
  }
  // A device told to leave after this URB is gone before its driver hears
  // of the completion.
  if (urb_completion && device->faults.state_->CountCompletion())
    UnplugDevice(device, false);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

}  // namespace vax::usb
