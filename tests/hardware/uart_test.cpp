// The chip's UART engine as the bus sees it: transmit FIFO back-pressure on
// bulk-OUT, the transmitter busy flag, receive overrun, the receive timer,
// status packets on the interrupt endpoint, the hardware output handshake,
// and what the resets clear.
#include <gtest/gtest.h>

#include "chip_bench.h"
#include "hardware/line/scripted_peer.h"

namespace vax::hw::test {
namespace {

using namespace qz719;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t k9600 = 0xB2;  // code 2: 750,000 / 78 = 9,615.38 bit/s
constexpr sim::Ticks kCharAt9600 = 10 * 78 * sim::kTicksPerSecond / 750'000;  // 1.04 ms

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = std::uint8_t(i * 7 + 3);
  return b;
}

class UartTest : public SimTest, public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  // Configured at 9600 8N1, with 0x25's whole-packet bit cleared as its
  // driver does at initialisation.
  void Start(Qz719Chip& chip) {
    SetConfiguration(chip);
    ProgramLine(chip, 2, k9600, Lcr1For8N1(chip));
    if (chip.traits().whole_packets_bit) {
      ASSERT_EQ(WriteReg(chip, REG_LINE_AUX, 1), Handshake::kAck);
    }
  }
};

// A full transmit FIFO NAKs the next packet until characters leave it; the
// busy flag stays up until the last stop bit.
TEST_P(UartTest, BulkOutBackPressureAndBusyFlag) {
  Qz719Chip chip(GetParam());
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  ActivityLog log(chip);
  Start(chip);
  const Bytes data = Pattern(512 + 32);
  const sim::Ticks t0 = sim::Now();
  for (std::size_t i = 0; i < 512; i += 32) {
    ASSERT_EQ(chip.Out(0x02, std::span(data.data() + i, 32)), Handshake::kAck) << i;
  }
  EXPECT_EQ(chip.TxFifoLevel(), 511u);  // the first character is on the line
  EXPECT_EQ(ReadReg(chip, REG_TX_STATUS), kTxBusy);
  std::span<const std::uint8_t> last(data.data() + 512, 32);
  EXPECT_EQ(chip.Out(0x02, last), Handshake::kNak);

  // Room for the packet once 31 more characters have started (one byte was
  // free): the chip announces it then, and not before.
  sim::SleepFor(30 * kCharAt9600, "fifo");
  EXPECT_EQ(chip.Out(0x02, last), Handshake::kNak);
  sim::SleepFor(2 * kCharAt9600, "fifo");
  ASSERT_TRUE(log.First(0x02).has_value());
  EXPECT_NEAR(double(*log.First(0x02) - t0), double(31 * kCharAt9600), double(sim::kTicksPerUs));
  EXPECT_EQ(chip.Out(0x02, last), Handshake::kAck);

  // Busy until the 544th character's stop bit, then idle; the peer has it all.
  const sim::Ticks done = t0 + 544 * kCharAt9600;
  sim::SleepUntil(done - 10 * sim::kTicksPerUs, "tx");
  EXPECT_EQ(ReadReg(chip, REG_TX_STATUS), kTxBusy);
  sim::SleepUntil(done + 10 * sim::kTicksPerUs, "tx");
  EXPECT_EQ(ReadReg(chip, REG_TX_STATUS), 0);
  EXPECT_EQ(peer.TakeBytes(), data);
}

// Characters arriving into a full receive FIFO are lost and latch overrun;
// the FIFO keeps the first ones.
TEST_P(UartTest, ReceiveOverrun) {
  Qz719Options options;
  options.rx_fifo_bytes = 64;
  Qz719Chip chip(GetParam(), options);
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  Start(chip);
  const Bytes data = Pattern(100);
  peer.Send(data);
  sim::SleepUntil(peer.TxDoneAt() + sim::kTicksPerMs, "rx");
  EXPECT_EQ(chip.RxFifoLevel(), 64u);
  EXPECT_EQ(VendorIn(chip, VR_STATUS_BLOCK, 0, 0, 8).data.at(0), kStatusOverrun);
  EXPECT_EQ(DrainBulkIn(chip, 5 * sim::kTicksPerMs), Bytes(data.begin(), data.begin() + 64));
  // Room again: the next characters arrive.
  peer.Send(Bytes{'o', 'k'});
  EXPECT_EQ(DrainBulkIn(chip, 10 * sim::kTicksPerMs), (Bytes{'o', 'k'}));
}

// A partial packet waits until the line has been quiet for the character
// time (REG_CHAR_TIME, units of 256 us); a full one goes at once.
TEST_P(UartTest, ReceiveTimerHoldsPartialPackets) {
  Qz719Chip chip(GetParam());
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  Start(chip);
  if (GetParam() == 0x25) {
    // With REG_LINE_AUX bit 4 set (its power-on value) this revision answers
    // whole packets only: 5 bytes stay until the bit is cleared.
    ASSERT_EQ(WriteReg(chip, REG_LINE_AUX, kAuxNoBreak | kAuxWholePackets), Handshake::kAck);
    peer.Send(Bytes{1, 2, 3, 4, 5});
    EXPECT_EQ(DrainBulkIn(chip, 50 * sim::kTicksPerMs), Bytes{});
    ASSERT_EQ(WriteReg(chip, REG_LINE_AUX, kAuxNoBreak), Handshake::kAck);
    EXPECT_EQ(DrainBulkIn(chip, 2 * sim::kTicksPerMs), (Bytes{1, 2, 3, 4, 5}));
  }
  ASSERT_EQ(WriteReg(chip, REG_CHAR_TIME, 20), Handshake::kAck);  // 5.12 ms
  ActivityLog log(chip);
  std::uint8_t packet[32];
  std::size_t actual = 0;
  ASSERT_EQ(chip.In(0x82, packet, &actual), Handshake::kNak);
  peer.Send(Bytes{'a'});
  const sim::Ticks arrival = sim::Now() + 95 * kCharAt9600 / 100;  // mid stop bit
  sim::SleepUntil(arrival + 5 * sim::kTicksPerMs, "timer");
  EXPECT_EQ(chip.In(0x82, packet, &actual), Handshake::kNak);
  sim::SleepUntil(arrival + 5200 * sim::kTicksPerUs, "timer");
  ASSERT_TRUE(log.First(0x82).has_value());
  EXPECT_NEAR(double(*log.First(0x82) - arrival), 5120.0 * sim::kTicksPerUs,
              double(50 * sim::kTicksPerUs));
  ASSERT_EQ(chip.In(0x82, packet, &actual), Handshake::kAck);
  EXPECT_EQ(actual, 1u);
  // 40 characters: the first 32 go as soon as they are in.
  peer.Send(Pattern(40));
  sim::SleepFor(33 * kCharAt9600, "timer");
  ASSERT_EQ(chip.In(0x82, packet, &actual), Handshake::kAck);
  EXPECT_EQ(actual, 32u);
  EXPECT_EQ(chip.In(0x82, packet, &actual), Handshake::kNak);
}

// Status packets: none on generation 1; from 0x20 a packet whenever the
// input lines, the errors or the transmitter state changed, announced on
// endpoint 0x81; latched errors are reported once.
TEST_P(UartTest, InterruptStatusPackets) {
  Qz719Chip chip(GetParam());
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  Start(chip);
  std::uint8_t packet[8];
  std::size_t actual = 0;
  auto read = [&]() { return chip.In(0x81, packet, &actual); };
  EXPECT_EQ(read(), Handshake::kNak);
  ActivityLog log(chip);
  peer.SetLines({.cts = true, .dsr = true, .ri = false, .dcd = true});
  sim::SleepFor(sim::kTicksPerMs, "status");
  if (GetParam() < 0x20) {
    EXPECT_EQ(read(), Handshake::kNak);
    EXPECT_TRUE(log.events.empty());
    return;
  }
  EXPECT_TRUE(log.First(0x81).has_value());
  ASSERT_EQ(read(), Handshake::kAck);
  ASSERT_EQ(actual, 4u);
  EXPECT_EQ(packet[0], 0);
  EXPECT_EQ(packet[2] & 0x0F, kModemRi);  // every line but RI asserted
  EXPECT_EQ(packet[3], 0);
  EXPECT_EQ(read(), Handshake::kNak);

  // Transmitter busy, then idle when the last character has gone.
  const sim::Ticks t0 = sim::Now();
  ASSERT_EQ(chip.Out(0x02, Bytes{'a', 'b'}), Handshake::kAck);
  ASSERT_EQ(read(), Handshake::kAck);
  EXPECT_EQ(packet[3], kTxBusy);
  log.events.clear();
  EXPECT_EQ(read(), Handshake::kNak);
  sim::SleepFor(3 * kCharAt9600, "status");
  ASSERT_TRUE(log.First(0x81).has_value());
  EXPECT_NEAR(double(*log.First(0x81) - t0), double(2 * kCharAt9600), double(sim::kTicksPerUs));
  ASSERT_EQ(read(), Handshake::kAck);
  EXPECT_EQ(packet[3], 0);

  // A parity error and an overrun latch until one packet reports them.
  ASSERT_EQ(WriteReg(chip, REG_CHAR_TIME, 0), Handshake::kAck);
  peer.SetTxSettings({{750'000, 78}, {8, Parity::kEven, 2}});
  if (GetParam() >= 0x30) {
    ASSERT_EQ(WriteRegs(chip, REG_LCR1, 0x4B, REG_LCR2, 0), Handshake::kAck);  // 8O1
  } else {
    ASSERT_EQ(WriteRegs(chip, REG_LCR1, 0xC0, REG_LCR2, 6), Handshake::kAck);  // odd ninth bit
  }
  peer.Send(Bytes{0x01});
  sim::SleepFor(2 * kCharAt9600, "status");
  ASSERT_EQ(read(), Handshake::kAck);
  EXPECT_EQ(packet[0], kStatusLineError);
  EXPECT_EQ(read(), Handshake::kNak);
  chip.SignalEvent1();
  ASSERT_EQ(read(), Handshake::kAck);
  EXPECT_EQ(packet[0], kStatusEvent1);
}

// From 0x30 the chip holds its own transmitter while an input named in
// REG_HW_FLOW is low; the character on the line finishes.
// (Older generations lack the register: see the control tests.)
class HardwareFlowTest : public UartTest {};

TEST_P(HardwareFlowTest, HoldsTransmitter) {
  Qz719Chip chip(GetParam());
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  Start(chip);
  for (std::uint8_t flow : {kFlowCts, kFlowDsr, kFlowDcd}) {
    ModemInputs ready{.cts = true, .dsr = true, .ri = false, .dcd = true};
    ModemInputs held = ready;
    if (flow == kFlowCts)
      held.cts = false;
    if (flow == kFlowDsr)
      held.dsr = false;
    if (flow == kFlowDcd)
      held.dcd = false;
    peer.SetLines(ready);
    ASSERT_EQ(WriteReg(chip, REG_HW_FLOW, flow), Handshake::kAck);
    const Bytes data = Pattern(10);
    ASSERT_EQ(chip.Out(0x02, data), Handshake::kAck);
    sim::SleepFor(kCharAt9600 / 2, "flow");
    peer.SetLines(held);
    sim::SleepFor(20 * kCharAt9600, "flow");
    EXPECT_EQ(peer.TakeBytes(), Bytes{data[0]}) << int(flow);
    EXPECT_EQ(ReadReg(chip, REG_TX_STATUS), kTxBusy);
    peer.SetLines(ready);
    sim::SleepFor(20 * kCharAt9600, "flow");
    EXPECT_EQ(peer.TakeBytes(), Bytes(data.begin() + 1, data.end())) << int(flow);
  }
  // With REG_HW_FLOW 0 the lines are ignored.
  ASSERT_EQ(WriteReg(chip, REG_HW_FLOW, 0), Handshake::kAck);
  peer.SetLines({});
  ASSERT_EQ(chip.Out(0x02, Bytes{'x'}), Handshake::kAck);
  sim::SleepFor(2 * kCharAt9600, "flow");
  EXPECT_EQ(peer.TakeBytes(), Bytes{'x'});
}

// VR_SERIAL_INIT empties both FIFOs; a bus reset returns everything but the
// chip memory to power-on values and unconfigures the device.
TEST_P(UartTest, SerialInitAndBusReset) {
  Qz719Chip chip(GetParam());
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  Start(chip);
  peer.Send(Bytes{1, 2, 3});
  sim::SleepFor(4 * kCharAt9600, "rx");
  ASSERT_EQ(chip.Out(0x02, Pattern(32)), Handshake::kAck);
  EXPECT_EQ(chip.RxFifoLevel(), 3u);
  ASSERT_EQ(VendorOut(chip, VR_SERIAL_INIT, 0, 0), Handshake::kAck);
  EXPECT_EQ(chip.RxFifoLevel(), 0u);
  EXPECT_EQ(chip.TxFifoLevel(), 0u);
  sim::SleepFor(3 * kCharAt9600, "tx");
  EXPECT_EQ(peer.TakeBytes().size(), 1u);  // only the character already on the line

  chip.PokeMemory(0x10, 0xAB);
  ASSERT_EQ(WriteRegs(chip, REG_LCR2, 0x07, REG_DIVISOR, 0x01), Handshake::kAck);
  chip.BusReset();
  EXPECT_EQ(chip.Configuration(), 0);
  EXPECT_EQ(ReadReg(chip, REG_LCR2), 0);
  EXPECT_EQ(ReadReg(chip, REG_DIVISOR), 0xB2);
  EXPECT_EQ(chip.PeekMemory(0x10), 0xAB);
  std::uint8_t packet[32];
  std::size_t actual = 0;
  EXPECT_EQ(chip.In(0x82, packet, &actual), Handshake::kStall);
  EXPECT_EQ(chip.Out(0x02, Bytes{1}), Handshake::kStall);
}

INSTANTIATE_TEST_SUITE_P(Generations, UartTest, ::testing::Values(0x01, 0x20, 0x25, 0x30),
                         [](const auto& info) {
                           char name[8];
                           std::snprintf(name, sizeof name, "v%02X", unsigned(info.param));
                           return std::string(name);
                         });

INSTANTIATE_TEST_SUITE_P(Generations, HardwareFlowTest, ::testing::Values(0x30, 0x31),
                         [](const auto& info) {
                           char name[8];
                           std::snprintf(name, sizeof name, "v%02X", unsigned(info.param));
                           return std::string(name);
                         });

// Endpoint halts: SET_FEATURE(ENDPOINT_HALT) stalls an endpoint until
// CLEAR_FEATURE, and GET_STATUS reports it.
TEST_F(SimTest, EndpointHalt) {
  Qz719Chip chip(0x30);
  SetConfiguration(chip);
  ASSERT_EQ(Request(chip, 0x02, 3, 0, 0x02).handshake, Handshake::kAck);
  EXPECT_EQ(chip.Out(0x02, Bytes{1}), Handshake::kStall);
  EXPECT_EQ(Request(chip, 0x82, 0, 0, 0x02, 2).data, (Bytes{1, 0}));
  ASSERT_EQ(Request(chip, 0x02, 1, 0, 0x02).handshake, Handshake::kAck);
  EXPECT_EQ(chip.Out(0x02, Bytes{1}), Handshake::kAck);
  EXPECT_EQ(Request(chip, 0x82, 0, 0, 0x02, 2).data, (Bytes{0, 0}));
  EXPECT_EQ(Request(chip, 0x02, 3, 0, 0x05).handshake, Handshake::kStall);  // no such endpoint
}

}  // namespace
}  // namespace vax::hw::test
