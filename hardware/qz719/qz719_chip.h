// The simulated QZ719 USB-to-serial chip: a USB device (descriptors, the
// vendor requests and registers of its protocol, bulk and interrupt
// endpoints) and a UART on its serial connector.
//
// Everything the chip is lives in one ChipState guarded by one mutex. Every
// entry point (a USB transaction from the bus, a modem line change from the
// cable, a wake-up of the chip's own thread) first brings the receiver up to
// the current time, then applies its change, then calls Recompute(), which
// derives the UART settings, break, output hold, modem lines and pending
// status from the registers. The chip's own sim thread only wakes when an
// endpoint the host is waiting on can answer differently (data arrived, FIFO
// room appeared, a status packet is due) and calls NotifyActivity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "hardware/line/serial_endpoint.h"
#include "hardware/line/uart.h"
#include "hardware/line/wire.h"
#include "hardware/qz719/descriptors.h"
#include "hardware/qz719/qz719_protocol.h"
#include "sim/scheduler.h"
#include "usb/usb_device.h"

namespace vax::hw::qz719 {

struct Qz719Options {
  // Deep enough to cover one 1-ms USB frame at 3 Mbit/s (300 characters).
  std::size_t rx_fifo_bytes = 512;
  std::size_t tx_fifo_bytes = 512;
  // Status block reads that still report the byte access busy after each
  // VR_BYTE_COMMAND.
  int byte_busy_polls = 1;
  // Default: Qz719Descriptors::For(version).
  std::optional<Qz719Descriptors> descriptors;
};

class Qz719Chip : public usb::UsbDevice, public SerialEndpoint, private WireListener {
 public:
  static constexpr std::size_t kMemoryBytes = 4096;

  // `version` is the byte the chip reports (1 for generation 1). Needs a
  // booted sim::Scheduler: the chip starts its UART thread here.
  explicit Qz719Chip(std::uint8_t version, Qz719Options options = {});
  ~Qz719Chip() override;
  Qz719Chip(const Qz719Chip&) = delete;
  Qz719Chip& operator=(const Qz719Chip&) = delete;

  // usb::UsbDevice
  std::vector<std::uint8_t> DeviceDescriptor() const override;
  std::vector<std::uint8_t> ConfigurationDescriptor() const override;
  usb::Handshake Control(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                         std::size_t* actual) override;
  usb::Handshake In(std::uint8_t endpoint, std::span<std::uint8_t> packet,
                    std::size_t* actual) override;
  usb::Handshake Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  void BusReset() override;

  // SerialEndpoint
  Wire& TxWire() override { return tx_wire_; }
  void AttachRx(Wire* wire) override;
  void SetModemInputs(const ModemInputs& inputs) override;
  ModemOutputs GetModemOutputs() override;

  // Inspection and test hooks; none of them changes what the host sees
  // except SignalEvent1.
  std::uint8_t version() const { return version_; }
  const GenerationTraits& traits() const { return traits_; }
  // A register as VR_READ_REGS would answer it; nullopt for one the chip lacks.
  std::optional<std::uint8_t> PeekRegister(std::uint8_t reg);
  std::uint8_t PeekMemory(std::uint16_t address);
  void PokeMemory(std::uint16_t address, std::uint8_t value);
  LineSettings UartSettings();
  std::size_t RxFifoLevel();
  std::size_t TxFifoLevel();
  std::uint8_t Configuration();
  // The chip's event-1 input: sets status bit 4 for the next status packet.
  void SignalEvent1();

 private:
  // Endpoints the chip's hardware serves.
  enum EndpointIndex { kInterruptIn, kBulkIn, kBulkOut, kEndpointCount };

  struct ChipState {
    // USB side.
    std::uint8_t configuration = 0;             // 0: not configured; data endpoints answer STALL
    std::array<bool, kEndpointCount> halted{};  // endpoint halt, set by STALL or SET_FEATURE
    // Hidden: the host saw a NAK on this endpoint and waits for NotifyActivity
    // before asking again. IN endpoints start out waited on, so that the
    // first data or status is announced even before the host has polled.
    std::array<bool, kEndpointCount> host_waits{true, true, false};
    std::size_t out_packet_waiting = 0;  // size of the last NAKed bulk-OUT packet

    // Registers (power-on values in PowerOnReset).
    std::uint8_t line_aux = 0;
    std::uint8_t modem_out = 0;  // REG_MODEM bits 4-6 as last written: 0 = asserted
    std::uint8_t char_time_high = 0;
    std::uint8_t prescaler = 0;
    std::uint8_t divisor = 0;
    std::uint8_t lcr1 = 0;
    std::uint8_t lcr2 = 0;
    std::uint8_t hw_flow = 0;
    std::uint8_t char_time = 0;

    ModemInputs inputs;  // as the far end drives them

    // Status. Error bits latch until a status packet reports them (the status
    // block only peeks); a packet is due when anything differs from what the
    // last one said.
    std::uint8_t error_latch = 0;
    bool status_pending = false;
    std::uint8_t reported_lines = 0x0F;  // REG_MODEM bits 0-3 in the last packet
    bool reported_busy = false;

    // Byte access to the chip memory. Older chips report each access busy
    // for a few status-block polls; newer ones stage a write until
    // VR_BYTE_FINISH commits it.
    std::uint8_t byte_data = 0;
    int byte_busy_polls_left = 0;
    std::optional<std::pair<std::uint16_t, std::uint8_t>> staged_write;
    // Hidden: non-volatile configuration memory; survives resets.
    std::array<std::uint8_t, kMemoryBytes> memory{};

    // Receive side.
    std::deque<std::uint8_t> rx_fifo;
    LineTime last_rx_time = 0;  // when the newest character arrived (receive timer)
    UartReceiver receiver;
    std::vector<ReceivedChar> decoded;  // scratch for Advance

    // Outputs as the cable last heard them.
    ModemOutputs announced_outputs;
  };

  // What an entry point does after releasing the lock.
  struct Followup {
    bool wake_thread = false;
    std::optional<ModemOutputs> outputs;
  };

  // chip_control.cpp
  usb::Handshake ControlLocked(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                               std::size_t* actual, LineTime now);
  usb::Handshake StandardRequest(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::size_t* actual);
  usb::Handshake VendorRequestLocked(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                                     std::size_t* actual, LineTime now);
  std::optional<std::uint8_t> ReadRegister(std::uint8_t reg, LineTime now);
  bool RegisterExists(std::uint8_t reg) const;
  void WriteRegister(std::uint8_t reg, std::uint8_t value);
  void SerialInit(std::uint16_t value, std::uint16_t index, LineTime now);
  std::array<std::uint8_t, 8> StatusBlock(LineTime now);
  std::uint8_t ReadMemory(std::uint16_t address) const;
  void WriteMemory(std::uint16_t address, std::uint8_t value);

  // chip_uart.cpp
  void PowerOnReset(LineTime now);
  void Advance(LineTime now);
  void Recompute(LineTime now);
  void Receive(const ReceivedChar& c);
  std::uint8_t ModemRegister() const;
  ModemOutputs OutputsFromRegister() const;
  LineTime ReceiveTimer() const;
  bool BulkInReady(std::size_t packet_size, LineTime now) const;
  LineTime BulkInReadyAt(LineTime now);
  LineTime StatusDueAt(LineTime now);
  LineTime NextWake(LineTime now);
  Followup Finish(LineTime now);
  void RunFollowup(const Followup& followup);
  std::optional<EndpointIndex> IndexOf(std::uint8_t endpoint, bool in) const;
  std::size_t PacketSize(EndpointIndex index) const;
  void ThreadMain();
  void OnWireActivity() override;

  const std::uint8_t version_;
  const GenerationTraits& traits_;
  const Qz719Options options_;
  const Qz719Descriptors descriptors_;

  sim::Mutex mu_;
  ChipState state_;                     // guarded by mu_
  Wire tx_wire_;                        // locks itself; written by transmitter_
  UartTransmitter transmitter_;         // guarded by mu_
  Wire* rx_wire_ = nullptr;             // guarded by mu_; set by a cable
  LineTime parked_until_ = kLineNever;  // guarded by mu_: the thread's current deadline
  bool stopping_ = false;               // guarded by mu_
  sim::Scheduler* scheduler_ = nullptr;
  sim::Thread* thread_ = nullptr;
};

}  // namespace vax::hw::qz719
