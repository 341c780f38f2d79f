// The passive peers (loopback plug, null-modem cable), the pty bridge, and a
// simulated second of full-duplex traffic at 3 Mbit/s between two chips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "chip_bench.h"
#include "hardware/line/cables.h"
#include "hardware/line/pty_bridge.h"
#include "hardware/line/scripted_peer.h"

namespace vax::hw::test {
namespace {

using namespace qz719;
using Bytes = std::vector<std::uint8_t>;

// Drives DTR and RTS (0x20 and later) and returns REG_MODEM's input bits.
std::uint8_t DriveAndReadInputs(Qz719Chip& driver, Qz719Chip& reader, bool dtr, bool rts) {
  std::uint8_t image = std::uint8_t((dtr ? kModemDtr : 0) | (rts ? kModemRts : 0));
  EXPECT_EQ(VendorOut(driver, VR_MODEM_CONTROL, std::uint8_t(~image), 0), Handshake::kAck);
  return *ReadReg(reader, REG_MODEM) & kModemInputMask;
}

TEST_F(SimTest, LoopbackPlug) {
  Qz719Chip chip(0x30);
  LoopbackPlug plug(chip);
  SetConfiguration(chip);
  EXPECT_EQ(DriveAndReadInputs(chip, chip, false, false), 0x0F);
  EXPECT_EQ(DriveAndReadInputs(chip, chip, false, true), 0x0F & ~kModemCts);
  EXPECT_EQ(DriveAndReadInputs(chip, chip, true, false), 0x0F & ~(kModemDsr | kModemDcd));
  const Bytes data = {'l', 'o', 'o', 'p'};
  ASSERT_EQ(chip.Out(0x02, data), Handshake::kAck);
  EXPECT_EQ(DrainBulkIn(chip, 20 * sim::kTicksPerMs), data);
}

// A peer plugged into a configured chip: the first character is announced
// on bulk-IN without the bus polling for it.
TEST_F(SimTest, ArrivalAnnouncedWithoutPolling) {
  Qz719Chip chip(0x20);
  SetConfiguration(chip);
  ProgramLine(chip, 2, 0xB2, 0x40);
  sim::SleepFor(sim::kTicksPerMs, "idle");  // the chip settles with nothing to wait for
  ScriptedPeer peer(chip, LineSettings{{750'000, 78}, {}});
  ActivityLog log(chip);
  peer.Send(Bytes{'a'});
  sim::SleepFor(10 * sim::kTicksPerMs, "line");
  ASSERT_TRUE(log.First(0x82).has_value());
  std::uint8_t packet[32];
  std::size_t actual = 0;
  ASSERT_EQ(chip.In(0x82, packet, &actual), Handshake::kAck);
  EXPECT_EQ(packet[0], 'a');
}

TEST_F(SimTest, NullModemCable) {
  Qz719Chip a(0x20), b(0x30);
  NullModemCable cable(a, b);
  SetConfiguration(a);
  SetConfiguration(b);
  EXPECT_EQ(DriveAndReadInputs(a, b, true, false), 0x0F & ~(kModemDsr | kModemDcd));
  EXPECT_EQ(DriveAndReadInputs(a, b, false, true), 0x0F & ~kModemCts);
  EXPECT_EQ(DriveAndReadInputs(b, a, true, true), 0x0F & ~(kModemCts | kModemDsr | kModemDcd));
  EXPECT_EQ(*ReadReg(b, REG_MODEM) & kModemInputMask, 0x0F & ~kModemCts);  // a's lines unchanged
  ASSERT_EQ(a.Out(0x02, Bytes{'a'}), Handshake::kAck);
  ASSERT_EQ(b.Out(0x02, Bytes{'b'}), Handshake::kAck);
  EXPECT_EQ(DrainBulkIn(b, 10 * sim::kTicksPerMs), Bytes{'a'});
  EXPECT_EQ(DrainBulkIn(a, 10 * sim::kTicksPerMs), Bytes{'b'});
}

// Bytes from the pty's slave until `n` have arrived, polling on the sim clock
// (the host delivers pty data asynchronously).
Bytes ReadSlave(int fd, std::size_t n) {
  Bytes out;
  for (int polls = 0; polls < 100'000 && out.size() < n; ++polls) {
    std::uint8_t buffer[64];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
      out.insert(out.end(), buffer, buffer + got);
    sim::SleepFor(sim::kTicksPerMs, "pty");
  }
  return out;
}

Bytes ReadChip(Qz719Chip& chip, std::size_t n) {
  Bytes out;
  for (int polls = 0; polls < 100'000 && out.size() < n; ++polls) {
    Bytes got = DrainBulkIn(chip, sim::kTicksPerMs);
    out.insert(out.end(), got.begin(), got.end());
  }
  return out;
}

void SetSlaveSpeed(int fd, speed_t speed) {
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  cfmakeraw(&tio);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
}

TEST_F(SimTest, PtyBridgeCarriesBytesAndFollowsSpeed) {
  Qz719Chip chip(0x30);
  PtyBridge bridge(chip, 9600);
  ASSERT_TRUE(bridge.ok());
  int slave = open(bridge.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(slave, 0);
  SetSlaveSpeed(slave, B9600);
  SetConfiguration(chip);
  ProgramLine(chip, 2, 0xB2, 0x43);  // 9,615 bit/s

  ASSERT_EQ(write(slave, "ping", 4), 4);
  EXPECT_EQ(ReadChip(chip, 4), (Bytes{'p', 'i', 'n', 'g'}));
  ASSERT_EQ(chip.Out(0x02, Bytes{'p', 'o', 'n', 'g'}), Handshake::kAck);
  EXPECT_EQ(ReadSlave(slave, 4), (Bytes{'p', 'o', 'n', 'g'}));

  // The program on the pty moves to 19200: the line follows, and the chip,
  // still at 9600, no longer reads it right until it moves too.
  SetSlaveSpeed(slave, B19200);
  for (int polls = 0; polls < 100'000 && bridge.settings().rate.bps() != 19200; ++polls) {
    sim::SleepFor(sim::kTicksPerMs, "pty");
  }
  ASSERT_EQ(bridge.settings().rate.bps(), 19200);
  ASSERT_EQ(write(slave, "\x55", 1), 1);
  EXPECT_NE(ReadChip(chip, 1), Bytes{0x55});
  ProgramLine(chip, 2, 0xD9, 0x43);                                   // 19,231 bit/s
  ASSERT_EQ(VendorOut(chip, VR_SERIAL_INIT, 0, 0), Handshake::kAck);  // drop the garbage
  ASSERT_EQ(write(slave, "ok", 2), 2);
  EXPECT_EQ(ReadChip(chip, 2), (Bytes{'o', 'k'}));
  close(slave);
}

// Two chips at 3 Mbit/s, both directions saturated for one simulated second,
// with the test as the bus moving up to 12 packets each way per 1-ms frame.
TEST_F(SimTest, ThreeMegabitFullDuplexSecond) {
  Qz719Chip a(0x30), b(0x30);
  NullModemCable cable(a, b);
  Qz719Chip* chips[2] = {&a, &b};
  // Byte i of the stream each side sends.
  auto stream = [](int side, std::size_t i) {
    std::uint32_t x = std::uint32_t(i) * 2'654'435'761u ^ (side ? 0xA5A5A5A5u : 0x5A5A5A5Au);
    return std::uint8_t(x ^ (x >> 13) ^ (x >> 24));
  };
  std::size_t sent[2] = {0, 0};
  Bytes received[2];  // received[side]: what the other side sent
  for (Qz719Chip* chip : chips) {
    SetConfiguration(*chip);
    ProgramLine(*chip, 3, 0xFE, 0x43);
    ASSERT_EQ(WriteReg(*chip, REG_CHAR_TIME, 1), Handshake::kAck);
  }
  for (int frame = 0; frame < 1000; ++frame) {
    for (int side = 0; side < 2; ++side) {
      Qz719Chip& chip = *chips[side];
      for (int packets = 0; packets < 12; ++packets) {
        std::uint8_t packet[32];
        for (std::size_t k = 0; k < sizeof packet; ++k)
          packet[k] = stream(side, sent[side] + k);
        if (chip.Out(0x02, packet) != Handshake::kAck)
          break;
        sent[side] += sizeof packet;
      }
      for (int packets = 0; packets < 12; ++packets) {
        std::uint8_t packet[32];
        std::size_t actual = 0;
        if (chip.In(0x82, packet, &actual) != Handshake::kAck)
          break;
        received[side].insert(received[side].end(), packet, packet + actual);
      }
    }
    sim::SleepFor(sim::kTicksPerMs, "bus frame");
  }
  for (int side = 0; side < 2; ++side) {
    const Bytes& got = received[side];
    // 300,000 characters per second each way, less what is still in flight.
    EXPECT_GT(got.size(), 295'000u) << side;
    ASSERT_LE(got.size(), sent[1 - side]);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < got.size(); ++i)
      mismatches += got[i] != stream(1 - side, i);
    EXPECT_EQ(mismatches, 0u) << side;
    EXPECT_EQ(VendorIn(*chips[side], VR_STATUS_BLOCK, 0, 0, 8).data.at(0), 0) << side;
  }
}

}  // namespace
}  // namespace vax::hw::test
