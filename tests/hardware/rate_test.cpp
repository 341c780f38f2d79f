// The chip's bit rate: what each prescaler code and divisor byte produce,
// that characters really take that long on the line, and how far each
// standard rate lands from what was asked for (with the divisor pairs the
// driver programs), with a peer at the nominal rate on the other end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "chip_bench.h"
#include "hardware/line/scripted_peer.h"

namespace vax::hw::test {
namespace {

using namespace qz719;
using Bytes = std::vector<std::uint8_t>;

TEST_F(SimTest, ProgrammedDivisorGivesRate) {
  struct Case {
    std::uint8_t version, prescaler, divisor;
    std::uint32_t clock_hz, divide_by;  // 0 Hz: the generator is stopped
  } cases[] = {
      {0x01, 0x00, 0xD9, 11'719, 39},     {0x01, 0x01, 0xB2, 93'750, 78},
      {0x20, 0x02, 0xD9, 750'000, 39},    {0x25, 0x03, 0xFE, 6'000'000, 2},
      {0x20, 0x07, 0xD9, 11'980'800, 39}, {0x20, 0x07, 0xF3, 11'980'800, 13},
      {0x01, 0x02, 0x00, 750'000, 256},   {0x01, 0x02, 0xFF, 750'000, 1},
      {0x20, 0x05, 0xD9, 0, 39},          {0x30, 0x83, 0xFA, 6'000'000, 6},
      {0x30, 0x87, 0xF3, 11'980'800, 13}, {0x30, 0x03, 0xFA, 0, 6},
      {0x01, 0x83, 0xFA, 6'000'000, 6},  // bit 7 means nothing before 0x30
  };
  for (const Case& c : cases) {
    Qz719Chip chip(c.version);
    ASSERT_EQ(WriteRegs(chip, REG_PRESCALER, c.prescaler, REG_DIVISOR, c.divisor), Handshake::kAck);
    BitRate rate = chip.UartSettings().rate;
    EXPECT_EQ(rate.running(), c.clock_hz != 0);
    if (c.clock_hz != 0) {
      EXPECT_TRUE(rate.SameAs(BitRate{c.clock_hz, c.divide_by}))
          << int(c.version) << " " << int(c.prescaler) << " " << int(c.divisor) << ": "
          << rate.bps();
    }
  }
}

// A character sent at 307,200 bit/s (code 7) is sampled mid stop bit, 9.5
// bit times after its start bit began; 100 back to back take 1000 bits.
TEST_F(SimTest, CharactersTakeTheirBitTimes) {
  Qz719Chip chip(0x30);
  ScriptedPeer peer(chip, LineSettings::Of(307'200));
  SetConfiguration(chip);
  ProgramLine(chip, 7, 0xD9, 0x43);
  const sim::Ticks t0 = sim::Now();
  ASSERT_EQ(WriteBulkOut(chip, Bytes(100, 0x5A)), 100u);
  sim::SleepFor(10 * sim::kTicksPerMs, "line");
  std::vector<ReceivedChar> got = peer.TakeReceived();
  ASSERT_EQ(got.size(), 100u);
  const double bit_ps = 1e12 / 307'200;
  EXPECT_NEAR(double(got[0].time - ToLineTime(t0)), 9.5 * bit_ps, 1.0);
  EXPECT_NEAR(double(got[99].time - ToLineTime(t0)), 999.5 * bit_ps, 2.0);
}

// Every standard rate from 300 to 3,000,000 bit/s with the prescaler code and
// divisor byte the driver chooses for it: the chip's actual rate, its error,
// and whether a peer running at exactly the nominal rate still exchanges
// characters with the chip in both directions.
TEST_F(SimTest, StandardRateAccuracy) {
  struct Row {
    std::uint32_t requested;
    std::uint8_t code, divisor;
    bool intact;  // within a receiver's tolerance
  } rows[] = {
      {300, 0, 0xD9, true},     {600, 1, 0x64, true},     {1200, 1, 0xB2, true},
      {1800, 1, 0xCC, true},    {2400, 1, 0xD9, true},    {4800, 2, 0x64, true},
      {7200, 2, 0x98, true},    {9600, 2, 0xB2, true},    {14400, 2, 0xCC, true},
      {19200, 2, 0xD9, true},   {28800, 3, 0x30, true},   {38400, 3, 0x64, true},
      {57600, 3, 0x98, true},   {76800, 3, 0xB2, true},   {115200, 3, 0xCC, true},
      {128000, 3, 0xD1, true},  {153600, 3, 0xD9, true},  {230400, 3, 0xE6, true},
      {250000, 3, 0xE8, true},  {256000, 3, 0xE9, true},  {307200, 7, 0xD9, true},
      {460800, 3, 0xF3, true},  {500000, 3, 0xF4, true},  {576000, 3, 0xF6, true},
      {921600, 7, 0xF3, true},  {1000000, 3, 0xFA, true}, {1152000, 3, 0xFB, true},
      {1500000, 3, 0xFC, true}, {2000000, 3, 0xFD, true}, {2500000, 3, 0xFE, false},
      {3000000, 3, 0xFE, true},
  };
  std::printf("| requested | code | divisor | actual bit/s | error |\n|---|---|---|---|---|\n");
  const Bytes hello = {'H', 'e', 'l', 'l', 'o'};
  for (const Row& row : rows) {
    Qz719Chip chip(0x30);
    ScriptedPeer peer(chip, LineSettings::Of(row.requested));
    SetConfiguration(chip);
    ProgramLine(chip, row.code, row.divisor, 0x43);
    ASSERT_EQ(WriteReg(chip, REG_CHAR_TIME, 0), Handshake::kAck);
    double actual = chip.UartSettings().rate.bps();
    double error = 100.0 * (actual - row.requested) / row.requested;
    std::printf("| %u | %u | 0x%02X | %.2f | %+.3f %% |\n", row.requested, row.code, row.divisor,
                actual, error);
    EXPECT_LT(std::abs(error), row.intact ? 4.5 : 100.0) << row.requested;

    ASSERT_EQ(chip.Out(0x02, hello), Handshake::kAck);
    peer.Send(hello);
    sim::SleepFor(200 * sim::kTicksPerMs, "line");
    std::vector<ReceivedChar> at_peer = peer.TakeReceived();
    Bytes at_chip = DrainBulkIn(chip, 2 * sim::kTicksPerMs);
    bool peer_intact = at_peer.size() == hello.size();
    for (std::size_t i = 0; peer_intact && i < hello.size(); ++i) {
      peer_intact = at_peer[i].clean() && at_peer[i].value == hello[i];
    }
    bool chip_intact = at_chip == hello && VendorIn(chip, VR_STATUS_BLOCK, 0, 0, 8).data.at(0) == 0;
    EXPECT_EQ(peer_intact, row.intact) << row.requested;
    EXPECT_EQ(chip_intact, row.intact) << row.requested;
  }
}

}  // namespace
}  // namespace vax::hw::test
