// Characters on the line between two chips, and between a chip and a
// scripted peer: each end samples at its own rate and frame, so wrong
// settings give the data and the parity, framing and break results real
// wires give.
#include <gtest/gtest.h>

#include "chip_bench.h"
#include "hardware/line/cables.h"
#include "hardware/line/scripted_peer.h"

namespace vax::hw::test {
namespace {

using namespace qz719;
using Bytes = std::vector<std::uint8_t>;

struct UartSetup {
  std::uint8_t version;
  std::uint8_t prescaler, divisor;  // bit 7 of the prescaler is added on 0x30
  std::uint8_t lcr1, lcr2;
};

void SetUpUart(Qz719Chip& chip, const UartSetup& s) {
  SetConfiguration(chip);
  ProgramLine(chip, s.prescaler, s.divisor, s.lcr1, s.lcr2);
}

// 0x30 line control: 8N1 0x43, 8E1 0x5B, 8O1 0x4B, 7E1 0x5A, 7N1 0x42, 8N2 0x47.
// Older chips: LCR1 0xC0 with LCR2 6 (odd) or 7 (even) for a ninth bit.
constexpr std::uint8_t k19200 = 0xD9, k9600 = 0xB2;  // code 2: 750,000 / 39 and / 78

struct FrameCase {
  const char* name;
  UartSetup sender, receiver;
  Bytes sent, received;
  std::uint8_t status;    // latched status bits at the receiver (status block byte 0)
  int framing_not_break;  // receiver's REG_LINE_AUX bit 1, or -1 when not reported
};

class ChipToChip : public SimTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(ChipToChip, DataAndErrors) {
  const FrameCase& c = GetParam();
  Qz719Chip a(c.sender.version), b(c.receiver.version);
  NullModemCable cable(a, b);
  SetUpUart(a, c.sender);
  SetUpUart(b, c.receiver);
  ASSERT_EQ(WriteBulkOut(a, c.sent), c.sent.size());
  EXPECT_EQ(DrainBulkIn(b, 50 * sim::kTicksPerMs), c.received);
  EXPECT_EQ(VendorIn(b, VR_STATUS_BLOCK, 0, 0, 8).data.at(0), c.status);
  if (c.framing_not_break >= 0) {
    EXPECT_EQ((*ReadReg(b, REG_LINE_AUX) >> 1) & 1, c.framing_not_break);
  }
}

const FrameCase kFrameCases[] = {
    {"Equal8N1",
     {0x30, 2, k19200, 0x43, 0},
     {0x30, 2, k19200, 0x43, 0},
     {'H', 'e', 'l', 'l', 'o'},
     {'H', 'e', 'l', 'l', 'o'},
     0,
     0},
    {"Equal7E1MasksToSevenBits",
     {0x30, 2, k9600, 0x5A, 0},
     {0x30, 2, k9600, 0x5A, 0},
     {0x41, 0xC3},
     {0x41, 0x43},
     0,
     0},
    {"NinthBitEvenMeets8E1",
     {0x01, 2, k19200, 0xC0, 7},
     {0x30, 2, k19200, 0x5B, 0},
     {0x00, 0xFF, 0x5A},
     {0x00, 0xFF, 0x5A},
     0,
     0},
    {"NinthBitEvenIntoNinthBitOdd",
     {0x20, 2, k19200, 0xC0, 7},
     {0x20, 2, k19200, 0xC0, 6},
     {0x00, 0x5A},
     {0x00, 0x5A},
     kStatusLineError,
     -1},
    {"EvenIntoOddParity",
     {0x30, 2, k19200, 0x5B, 0},
     {0x30, 2, k19200, 0x4B, 0},
     {0x31},
     {0x31},
     kStatusLineError,
     0},
    {"TwoStopBitsIntoOne",
     {0x30, 2, k19200, 0x47, 0},
     {0x30, 2, k19200, 0x43, 0},
     {'A', 'B'},
     {'A', 'B'},
     0,
     0},
    {"OneStopBitIntoTwo",
     {0x30, 2, k19200, 0x43, 0},
     {0x30, 2, k19200, 0x47, 0},
     {'A', 'B'},
     {'A', 'B'},
     0,
     0},
    // The sender's stop bit is sampled as data bit 7.
    {"SevenBitsIntoEight",
     {0x30, 2, k19200, 0x42, 0},
     {0x30, 2, k19200, 0x43, 0},
     {0x41},
     {0xC1},
     0,
     0},
    // Data bit 7 is sampled as the stop bit: 0 there is a framing error.
    {"EightBitsIntoSeven",
     {0x30, 2, k19200, 0x43, 0},
     {0x30, 2, k19200, 0x42, 0},
     {0xC1, 0x41},
     {0x41, 0x41},
     kStatusLineError | kStatusBreakOrFraming,
     1},
    // The parity bit is sampled as the stop bit: 0x03's even parity bit is 0.
    {"ParityIntoNoParity",
     {0x30, 2, k19200, 0x5B, 0},
     {0x30, 2, k19200, 0x43, 0},
     {0x01, 0x03},
     {0x01, 0x03},
     kStatusLineError | kStatusBreakOrFraming,
     1},
    // 18,750 bit/s into 9,615: each receiver bit spans 1.95 sender bits.
    {"FastSenderSlowReceiver",
     {0x30, 2, 0xD8, 0x43, 0},
     {0x30, 2, k9600, 0x43, 0},
     {0x00},
     {0xF0},
     0,
     0},
    // 9,615 into 19,231: the start bit lasts two receiver bits.
    {"SlowSenderFastReceiver",
     {0x30, 2, k9600, 0x43, 0},
     {0x30, 2, k19200, 0x43, 0},
     {0xFF},
     {0xFE},
     0,
     0},
    // 115,385 into 113,208 bit/s (1.9 % apart): a real receiver copes.
    {"NearbyRatesStillAgree",
     {0x30, 3, 256 - 52, 0x43, 0},
     {0x30, 3, 256 - 53, 0x43, 0},
     {'H', 'e', 'l', 'l', 'o'},
     {'H', 'e', 'l', 'l', 'o'},
     0,
     0},
};

INSTANTIATE_TEST_SUITE_P(Frames, ChipToChip, ::testing::ValuesIn(kFrameCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, StoppedGeneratorSendsNothing) {
  Qz719Chip a(0x30), b(0x30);
  NullModemCable cable(a, b);
  SetUpUart(a, {0x30, 2, k19200, 0x43, 0});
  SetUpUart(b, {0x30, 2, k19200, 0x43, 0});
  ASSERT_EQ(WriteRegs(a, REG_PRESCALER, 0x02, REG_DIVISOR, k19200), Handshake::kAck);
  ASSERT_EQ(a.Out(0x02, Bytes{'x'}), Handshake::kAck);
  EXPECT_EQ(DrainBulkIn(b, 20 * sim::kTicksPerMs), Bytes{});
  EXPECT_EQ(ReadReg(a, REG_TX_STATUS), kTxBusy);
  // Setting bit 7 starts the generator and the waiting character goes out.
  ASSERT_EQ(WriteRegs(a, REG_PRESCALER, 0x82, REG_DIVISOR, k19200), Handshake::kAck);
  EXPECT_EQ(DrainBulkIn(b, 20 * sim::kTicksPerMs), Bytes{'x'});
  EXPECT_EQ(ReadReg(a, REG_TX_STATUS), 0);
}

// Per character, as a peer samples what the chip sends.
TEST_F(SimTest, PeerSamplesEachCharacter) {
  struct Case {
    const char* name;
    std::uint8_t lcr1;  // chip (0x30) at 19,231 bit/s
    LineSettings peer;
    Bytes sent;
    std::vector<ReceivedChar> expected;  // time not compared
  } cases[] = {
      {"8N1 at the nominal rate", 0x43, LineSettings::Of(19200), {0x55, 0xAA}, {{0x55}, {0xAA}}},
      {"odd parity into even",
       0x4B,
       LineSettings::Of(19200, 8, Parity::kEven),
       {0x01, 0x03},
       {{.value = 0x01, .parity_error = true}, {.value = 0x03, .parity_error = true}}},
      {"mark parity into space",
       0x6B,
       LineSettings::Of(19200, 8, Parity::kSpace),
       {0x80},
       {{.value = 0x80, .parity_error = true}}},
      {"8N1 into 7N1",
       0x43,
       LineSettings::Of(19200, 7),
       {0x7F},
       {{.value = 0x7F, .framing_error = true}}},
      {"5 data bits, 1.5 stop",
       0x44,
       LineSettings::Of(19200, 5, Parity::kNone, 3),
       {0x15, 0xFF},
       {{0x15}, {0x1F}}},
  };
  for (const Case& c : cases) {
    Qz719Chip chip(0x30);
    ScriptedPeer peer(chip, c.peer);
    SetUpUart(chip, {0x30, 2, k19200, c.lcr1, 0});
    ASSERT_EQ(WriteBulkOut(chip, c.sent), c.sent.size());
    sim::SleepFor(10 * sim::kTicksPerMs, "line");
    std::vector<ReceivedChar> got = peer.TakeReceived();
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].value, c.expected[i].value) << c.name << " #" << i;
      EXPECT_EQ(got[i].parity_error, c.expected[i].parity_error) << c.name << " #" << i;
      EXPECT_EQ(got[i].framing_error, c.expected[i].framing_error) << c.name << " #" << i;
      EXPECT_EQ(got[i].break_detected, c.expected[i].break_detected) << c.name << " #" << i;
    }
  }
}

// A break from the chip (either break bit) reaches the peer as one break,
// and the line recovers for the next character.
TEST_F(SimTest, ChipBreakOutput) {
  for (std::uint8_t version : {0x01, 0x30}) {
    for (std::uint8_t reg : {REG_LINE_AUX, REG_LCR1}) {
      Qz719Chip chip(version);
      ScriptedPeer peer(chip, LineSettings::Of(9600));
      SetUpUart(chip, {version, 2, k9600, Lcr1For8N1(chip), 0});
      std::uint8_t normal = *ReadReg(chip, reg);
      std::uint8_t bit = reg == REG_LINE_AUX ? kAuxNoBreak : kLcr1NoBreak;
      ASSERT_EQ(WriteReg(chip, reg, normal & ~bit), Handshake::kAck);
      sim::SleepFor(20 * sim::kTicksPerMs, "break");  // about 19 character times
      ASSERT_EQ(WriteReg(chip, reg, normal), Handshake::kAck);
      ASSERT_EQ(chip.Out(0x02, Bytes{'k'}), Handshake::kAck);
      sim::SleepFor(5 * sim::kTicksPerMs, "line");
      std::vector<ReceivedChar> got = peer.TakeReceived();
      ASSERT_EQ(got.size(), 2u) << int(version) << " " << int(reg);
      EXPECT_TRUE(got[0].break_detected);
      EXPECT_TRUE(got[1].clean());
      EXPECT_EQ(got[1].value, 'k');
    }
  }
}

// A break or a framing error from the peer: the receiving chip stores a 0
// for the break, latches a line error, and from 0x30 on tells the two apart.
TEST_F(SimTest, ChipReceivesBreakAndFramingError) {
  for (std::uint8_t version : {0x20, 0x30}) {
    Qz719Chip chip(version);
    ScriptedPeer peer(chip, LineSettings::Of(9600));
    SetUpUart(chip, {version, 2, k9600, Lcr1For8N1(chip), 0});
    const std::uint8_t kind = version >= 0x30 ? kStatusBreakOrFraming : 0;

    peer.SendBreak(5 * sim::kTicksPerMs);
    peer.Send(Bytes{'z'});
    EXPECT_EQ(DrainBulkIn(chip, 20 * sim::kTicksPerMs), (Bytes{0x00, 'z'}));
    std::uint8_t packet[8];
    std::size_t actual = 0;
    ASSERT_EQ(chip.In(0x81, packet, &actual), Handshake::kAck);
    EXPECT_EQ(packet[0], kStatusLineError | kind);
    if (version >= 0x30) {
      EXPECT_EQ(*ReadReg(chip, REG_LINE_AUX) & kAuxFramingNotBreak, 0);
    }

    // At exactly half the chip's rate, 0x01 is sampled as 0x06 whose stop
    // bit falls on the peer's data bit 3 (a framing error); the rest of the
    // peer's character then reads as a clean 0x80.
    peer.SetTxSettings({BitRate{750'000, 156}, FrameFormat{}});
    peer.Send(Bytes{0x01});
    EXPECT_EQ(DrainBulkIn(chip, 20 * sim::kTicksPerMs), (Bytes{0x06, 0x80}));
    ASSERT_EQ(chip.In(0x81, packet, &actual), Handshake::kAck);
    EXPECT_EQ(packet[0], kStatusLineError | kind);
    if (version >= 0x30) {
      EXPECT_NE(*ReadReg(chip, REG_LINE_AUX) & kAuxFramingNotBreak, 0);
    }
  }
}

}  // namespace
}  // namespace vax::hw::test
