// The chip's UART engine and data endpoints: receive FIFO and timer, transmit
// FIFO, modem lines, status packets, and the thread that tells the bus when
// an endpoint it is waiting on can answer.
#include <algorithm>
#include <cassert>
#include <mutex>

#include "hardware/qz719/line_registers.h"
#include "hardware/qz719/qz719_chip.h"

namespace vax::hw::qz719 {
namespace {

constexpr std::uint8_t kEndpointAddress[] = {0x81, 0x82, 0x02};
constexpr std::size_t kStatusPacketBytes = 4;
constexpr LineTime kReceiveTimerUnit = 256 * 1'000'000;  // 256 microseconds
constexpr std::uint8_t kPowerOnCharTime = 4;             // about 1 ms
// 9600 bit/s: code 2, 750,000 / 78.
constexpr std::uint8_t kPowerOnPrescaler = 2, kPowerOnDivisor = 256 - 78;

}  // namespace

Qz719Chip::Qz719Chip(std::uint8_t version, Qz719Options options)
    : version_(version),
      traits_(TraitsFor(version)),
      options_(std::move(options)),
      descriptors_(options_.descriptors.value_or(Qz719Descriptors::For(version))),
      transmitter_(&tx_wire_, options_.tx_fifo_bytes) {
  scheduler_ = sim::Scheduler::Current();
  assert(scheduler_ != nullptr && "a Qz719Chip needs a booted sim::Scheduler");
  {
    std::lock_guard lock(mu_);
    PowerOnReset(LineNow());
    state_.announced_outputs = OutputsFromRegister();
  }
  // Last: the thread may run before Spawn returns.
  thread_ = scheduler_->Spawn("qz719 uart", 20, [this] { ThreadMain(); });
}

Qz719Chip::~Qz719Chip() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    if (rx_wire_ != nullptr)
      rx_wire_->Attach(nullptr);
    rx_wire_ = nullptr;
  }
  scheduler_->Unpark(thread_);
  scheduler_->Join(thread_);
}

// --- reset and derived state ----------------------------------------------------

// Power-on and bus reset: everything but the chip memory and the lines the
// far end drives returns to its initial value.
void Qz719Chip::PowerOnReset(LineTime now) {
  ChipState& s = state_;
  s.configuration = 0;
  s.halted = {};
  s.host_waits = {true, true, false};
  s.out_packet_waiting = 0;
  s.line_aux = traits_.line_aux_power_on;
  s.modem_out = kModemOutputMask;  // all outputs off
  s.char_time_high = 0;
  s.prescaler =
      std::uint8_t(kPowerOnPrescaler | (traits_.prescaler_enable_bit ? kPrescalerEnable : 0));
  s.divisor = kPowerOnDivisor;
  s.lcr1 = traits_.new_line_control ? std::uint8_t(kLcr1NoBreak | 0x03) : kLcr1NoBreak;  // 8N1
  s.lcr2 = 0;
  s.hw_flow = 0;
  s.char_time = kPowerOnCharTime;
  s.error_latch = 0;
  s.status_pending = false;
  s.reported_lines = ModemRegister() & kModemInputMask;
  s.reported_busy = false;
  s.byte_data = 0;
  s.byte_busy_polls_left = 0;
  s.staged_write.reset();
  s.rx_fifo.clear();
  s.last_rx_time = now;
  s.receiver.Restart(now);
  transmitter_.Flush(now);
  Recompute(now);
  s.status_pending = false;
  s.reported_busy = transmitter_.Busy(now);
}

// Derives everything that follows from the registers and the input lines.
// Called after every change.
void Qz719Chip::Recompute(LineTime now) {
  ChipState& s = state_;
  LineSettings settings{RateFromRegisters(traits_, s.prescaler, s.divisor),
                        FrameFromRegisters(traits_, s.lcr1, s.lcr2)};
  transmitter_.Configure(settings, now);
  s.receiver.Configure(settings, now);
  // Either break bit at 0 holds the line at space.
  transmitter_.SetBreak(!(s.line_aux & kAuxNoBreak) || !(s.lcr1 & kLcr1NoBreak), now);
  bool hold = false;
  if (traits_.hw_flow) {
    hold = ((s.hw_flow & kFlowCts) && !s.inputs.cts) || ((s.hw_flow & kFlowDsr) && !s.inputs.dsr) ||
           ((s.hw_flow & kFlowDcd) && !s.inputs.dcd);
  }
  transmitter_.SetHold(hold, now);
  if (traits_.status_packets) {
    if (s.error_latch != 0)
      s.status_pending = true;
    if ((ModemRegister() & kModemInputMask) != s.reported_lines)
      s.status_pending = true;
    if (transmitter_.Busy(now) != s.reported_busy)
      s.status_pending = true;
  }
}

std::uint8_t Qz719Chip::ModemRegister() const {
  const ModemInputs& in = state_.inputs;
  std::uint8_t lines = std::uint8_t((in.cts ? 0 : kModemCts) | (in.dsr ? 0 : kModemDsr) |
                                    (in.ri ? 0 : kModemRi) | (in.dcd ? 0 : kModemDcd));
  return std::uint8_t(0x80 | (state_.modem_out & kModemOutputMask) | lines);
}

ModemOutputs Qz719Chip::OutputsFromRegister() const {
  ModemOutputs out;
  out.dtr = !(state_.modem_out & kModemDtr);
  out.rts = !(state_.modem_out & kModemRts);
  out.out3 = !(state_.modem_out & kModemOut3);
  return out;
}

// --- receive side ---------------------------------------------------------------

void Qz719Chip::Advance(LineTime now) {
  ChipState& s = state_;
  if (rx_wire_ != nullptr) {
    s.decoded.clear();
    s.receiver.Decode(*rx_wire_, now, &s.decoded);
    for (const ReceivedChar& c : s.decoded)
      Receive(c);
  }
  Recompute(now);
}

void Qz719Chip::Receive(const ReceivedChar& c) {
  ChipState& s = state_;
  std::uint8_t kind = traits_.reports_break_kind ? kStatusBreakOrFraming : 0;
  if (c.break_detected) {
    s.error_latch |= kStatusLineError | kind;
    s.line_aux &= std::uint8_t(~kAuxFramingNotBreak);
  } else if (c.framing_error) {
    s.error_latch |= kStatusLineError | kind;
    if (traits_.reports_break_kind)
      s.line_aux |= kAuxFramingNotBreak;
  }
  if (c.parity_error)
    s.error_latch |= kStatusLineError;
  if (s.rx_fifo.size() >= options_.rx_fifo_bytes) {
    s.error_latch |= kStatusOverrun;  // the new character is lost
  } else {
    s.rx_fifo.push_back(c.value);
  }
  s.last_rx_time = c.time;
}

// The receive timer (REG_CHAR_TIME, high byte in register 0x0F, units of
// 256 us) holds a partial packet back until the line has been quiet that
// long, so that a stream goes up in full packets.
LineTime Qz719Chip::ReceiveTimer() const {
  return LineTime((state_.char_time_high << 8) | state_.char_time) * kReceiveTimerUnit;
}

bool Qz719Chip::BulkInReady(std::size_t packet_size, LineTime now) const {
  const ChipState& s = state_;
  std::size_t n = s.rx_fifo.size();
  if (n == 0)
    return false;
  if (n >= packet_size)
    return true;
  if (traits_.whole_packets_bit && (s.line_aux & kAuxWholePackets))
    return false;
  return now >= s.last_rx_time + ReceiveTimer();
}

LineTime Qz719Chip::BulkInReadyAt(LineTime now) {
  ChipState& s = state_;
  std::size_t packet = PacketSize(kBulkIn);
  if (BulkInReady(packet, now))
    return now;
  if (rx_wire_ == nullptr)
    return kLineNever;
  std::size_t n = s.rx_fifo.size();
  LineTime full = s.receiver.Forecast(*rx_wire_, packet - std::min(n, packet), false);
  if (traits_.whole_packets_bit && (s.line_aux & kAuxWholePackets))
    return full;
  LineTime first = n > 0 ? s.last_rx_time : s.receiver.Forecast(*rx_wire_, 1, false);
  if (first == kLineNever)
    return full;
  return std::min(full, first + ReceiveTimer());
}

// --- data endpoints ---------------------------------------------------------------

std::optional<Qz719Chip::EndpointIndex> Qz719Chip::IndexOf(std::uint8_t endpoint, bool in) const {
  if (((endpoint & 0x80) != 0) != in)
    return std::nullopt;
  if (descriptors_.FindEndpoint(endpoint) == nullptr)
    return std::nullopt;
  for (int i = 0; i < kEndpointCount; ++i) {
    if (kEndpointAddress[i] == endpoint)
      return EndpointIndex(i);
  }
  return std::nullopt;
}

std::size_t Qz719Chip::PacketSize(EndpointIndex index) const {
  const EndpointFields* e = descriptors_.FindEndpoint(kEndpointAddress[index]);
  return e != nullptr && e->wMaxPacketSize != 0 ? e->wMaxPacketSize : 32;
}

usb::Handshake Qz719Chip::In(std::uint8_t endpoint, std::span<std::uint8_t> packet,
                             std::size_t* actual) {
  *actual = 0;
  Followup followup;
  usb::Handshake result = usb::Handshake::kNak;
  {
    std::lock_guard lock(mu_);
    ChipState& s = state_;
    LineTime now = LineNow();
    auto index = IndexOf(endpoint, true);
    if (!index || s.configuration == 0 || s.halted[*index])
      return usb::Handshake::kStall;
    Advance(now);
    if (*index == kBulkIn && BulkInReady(packet.size(), now)) {
      std::size_t n = std::min(packet.size(), s.rx_fifo.size());
      std::copy_n(s.rx_fifo.begin(), n, packet.begin());
      s.rx_fifo.erase(s.rx_fifo.begin(), s.rx_fifo.begin() + std::ptrdiff_t(n));
      *actual = n;
      result = usb::Handshake::kAck;
    } else if (*index == kInterruptIn && traits_.status_packets && s.status_pending) {
      std::uint8_t bytes[kStatusPacketBytes] = {s.error_latch, 0, ModemRegister(),
                                                std::uint8_t(transmitter_.Busy(now) ? kTxBusy : 0)};
      std::size_t n = std::min(packet.size(), kStatusPacketBytes);
      std::copy_n(bytes, n, packet.begin());
      *actual = n;
      s.reported_lines = ModemRegister() & kModemInputMask;
      s.reported_busy = transmitter_.Busy(now);
      s.error_latch = 0;
      s.status_pending = false;
      result = usb::Handshake::kAck;
    }
    s.host_waits[*index] = result == usb::Handshake::kNak;
    Recompute(now);
    followup = Finish(now);
  }
  RunFollowup(followup);
  return result;
}

usb::Handshake Qz719Chip::Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
  Followup followup;
  usb::Handshake result = usb::Handshake::kAck;
  {
    std::lock_guard lock(mu_);
    ChipState& s = state_;
    LineTime now = LineNow();
    auto index = IndexOf(endpoint, false);
    if (!index || s.configuration == 0 || s.halted[*index])
      return usb::Handshake::kStall;
    Advance(now);
    if (transmitter_.Room(now) < packet.size()) {
      // A packet is taken whole or not at all: the host retries it later.
      s.host_waits[kBulkOut] = true;
      s.out_packet_waiting = packet.size();
      result = usb::Handshake::kNak;
    } else {
      s.host_waits[kBulkOut] = false;
      transmitter_.Push(packet, now);
    }
    Recompute(now);
    followup = Finish(now);
  }
  RunFollowup(followup);
  return result;
}

void Qz719Chip::BusReset() {
  Followup followup;
  {
    std::lock_guard lock(mu_);
    LineTime now = LineNow();
    Advance(now);
    PowerOnReset(now);
    followup = Finish(now);
  }
  RunFollowup(followup);
}

// --- serial connector -----------------------------------------------------------

void Qz719Chip::AttachRx(Wire* wire) {
  Followup followup;
  {
    std::lock_guard lock(mu_);
    LineTime now = LineNow();
    Advance(now);
    if (rx_wire_ != nullptr)
      rx_wire_->Attach(nullptr);
    rx_wire_ = wire;
    state_.receiver.Restart(now);
    if (rx_wire_ != nullptr)
      rx_wire_->Attach(this);
    followup = Finish(now);  // asks the new wire to ring when characters come
  }
  RunFollowup(followup);
}

void Qz719Chip::SetModemInputs(const ModemInputs& inputs) {
  Followup followup;
  {
    std::lock_guard lock(mu_);
    LineTime now = LineNow();
    Advance(now);
    state_.inputs = inputs;
    Recompute(now);
    followup = Finish(now);
  }
  RunFollowup(followup);
}

ModemOutputs Qz719Chip::GetModemOutputs() {
  std::lock_guard lock(mu_);
  return OutputsFromRegister();
}

// --- wake-ups ---------------------------------------------------------------------

// The earliest moment a status packet is due, from what is known now: the
// transmitter going idle, a received character that fails the fast path (a
// possible line error), or the receive FIFO overflowing.
LineTime Qz719Chip::StatusDueAt(LineTime now) {
  ChipState& s = state_;
  if (s.status_pending)
    return now;
  LineTime due = transmitter_.Busy(now) ? transmitter_.IdleAt(now) : kLineNever;
  if (rx_wire_ != nullptr) {
    std::size_t room = options_.rx_fifo_bytes - std::min(options_.rx_fifo_bytes, s.rx_fifo.size());
    due = std::min(due, s.receiver.Forecast(*rx_wire_, room + 1, true));
  }
  return due;
}

LineTime Qz719Chip::NextWake(LineTime now) {
  ChipState& s = state_;
  if (s.configuration == 0)
    return kLineNever;
  LineTime wake = kLineNever;
  bool wants_symbols = false;
  if (s.host_waits[kBulkIn] && !s.halted[kBulkIn]) {
    wake = std::min(wake, BulkInReadyAt(now));
    wants_symbols = true;
  }
  if (s.host_waits[kBulkOut] && !s.halted[kBulkOut]) {
    wake = std::min(wake, transmitter_.RoomAt(s.out_packet_waiting, now));
  }
  if (s.host_waits[kInterruptIn] && !s.halted[kInterruptIn] && traits_.status_packets) {
    wake = std::min(wake, StatusDueAt(now));
    wants_symbols = true;
  }
  if (wants_symbols && rx_wire_ != nullptr) {
    std::lock_guard lock(rx_wire_->mutex());
    rx_wire_->ArmKick();
  }
  return wake;
}

Qz719Chip::Followup Qz719Chip::Finish(LineTime now) {
  Followup followup;
  if (!stopping_ && NextWake(now) < parked_until_) {
    followup.wake_thread = true;
    parked_until_ = now;  // the thread recomputes its deadline
  }
  ModemOutputs outputs = OutputsFromRegister();
  if (!(outputs == state_.announced_outputs)) {
    state_.announced_outputs = outputs;
    followup.outputs = outputs;
  }
  return followup;
}

void Qz719Chip::RunFollowup(const Followup& followup) {
  tx_wire_.KickReceiver();
  if (followup.wake_thread && thread_ != nullptr)
    scheduler_->Unpark(thread_);
  if (followup.outputs)
    NotifyOutputs(*followup.outputs);
}

void Qz719Chip::OnWireActivity() {
  if (thread_ != nullptr)
    scheduler_->Unpark(thread_);
}

void Qz719Chip::ThreadMain() {
  for (;;) {
    std::vector<std::uint8_t> ready;
    LineTime wake;
    {
      std::lock_guard lock(mu_);
      if (stopping_)
        return;
      ChipState& s = state_;
      LineTime now = LineNow();
      Advance(now);
      if (s.configuration != 0) {
        if (s.host_waits[kBulkIn] && BulkInReady(PacketSize(kBulkIn), now))
          ready.push_back(0x82);
        if (s.host_waits[kBulkOut] && transmitter_.Room(now) >= s.out_packet_waiting) {
          ready.push_back(0x02);
        }
        if (s.host_waits[kInterruptIn] && traits_.status_packets && s.status_pending) {
          ready.push_back(0x81);
        }
        for (std::uint8_t endpoint : ready) {
          s.host_waits[*IndexOf(endpoint, endpoint & 0x80)] = false;
        }
      }
      wake = NextWake(now);
      // Never spin: a deadline that is already due waits one tick.
      if (wake <= now)
        wake = now + kPsPerTick;
      parked_until_ = wake;
    }
    for (std::uint8_t endpoint : ready)
      NotifyActivity(endpoint);
    scheduler_->Park(ToTicksCeil(wake), "qz719 uart");
  }
}

// --- inspection -------------------------------------------------------------------

std::optional<std::uint8_t> Qz719Chip::PeekRegister(std::uint8_t reg) {
  std::lock_guard lock(mu_);
  LineTime now = LineNow();
  Advance(now);
  return ReadRegister(reg, now);
}

std::uint8_t Qz719Chip::PeekMemory(std::uint16_t address) {
  std::lock_guard lock(mu_);
  return ReadMemory(address);
}

void Qz719Chip::PokeMemory(std::uint16_t address, std::uint8_t value) {
  std::lock_guard lock(mu_);
  WriteMemory(address, value);
}

LineSettings Qz719Chip::UartSettings() {
  std::lock_guard lock(mu_);
  return transmitter_.settings();
}

std::size_t Qz719Chip::RxFifoLevel() {
  std::lock_guard lock(mu_);
  Advance(LineNow());
  return state_.rx_fifo.size();
}

std::size_t Qz719Chip::TxFifoLevel() {
  std::lock_guard lock(mu_);
  return transmitter_.Queued(LineNow());
}

std::uint8_t Qz719Chip::Configuration() {
  std::lock_guard lock(mu_);
  return state_.configuration;
}

void Qz719Chip::SignalEvent1() {
  Followup followup;
  {
    std::lock_guard lock(mu_);
    LineTime now = LineNow();
    Advance(now);
    state_.error_latch |= kStatusEvent1;
    Recompute(now);
    followup = Finish(now);
  }
  RunFollowup(followup);
}

std::vector<std::uint8_t> Qz719Chip::DeviceDescriptor() const {
  return descriptors_.DeviceBytes();
}

std::vector<std::uint8_t> Qz719Chip::ConfigurationDescriptor() const {
  return descriptors_.ConfigurationBytes();
}

}  // namespace vax::hw::qz719
