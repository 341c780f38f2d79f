// The chip's descriptors: what each generation ships, what a test can
// override, and that the device serves exactly the endpoints it describes.
#include <gtest/gtest.h>

#include "chip_bench.h"

namespace vax::hw::test {
namespace {

using namespace qz719;
using Bytes = std::vector<std::uint8_t>;

Bytes GetDescriptor(Qz719Chip& chip, std::uint8_t type, std::uint8_t index, std::uint16_t length) {
  ControlResult r = Request(chip, 0x80, 6, std::uint16_t(type << 8 | index), 0, length);
  EXPECT_EQ(r.handshake, Handshake::kAck);
  return r.data;
}

TEST_F(SimTest, DefaultDescriptorsPerGeneration) {
  for (std::uint8_t version : {0x01, 0x20, 0x25, 0x30}) {
    Qz719Chip chip(version);
    Bytes config = GetDescriptor(chip, 2, 0, 255);
    ASSERT_EQ(config, chip.ConfigurationDescriptor());
    const Bytes expected = {
        9, 2,    39,
        0, 1,    1,
        0, 0x80, std::uint8_t(version == 1 ? 0x40 : 0x32),  // configuration
        9, 4,    0,
        0, 3,    0xFF,
        0, 0,    0,  // interface
        7, 5,    0x81,
        3, 8,    0,
        1,  // interrupt IN
        7, 5,    0x82,
        2, 32,   0,
        0,  // bulk IN
        7, 5,    0x02,
        2, 32,   0,
        0,  // bulk OUT
    };
    EXPECT_EQ(config, expected) << int(version);
    // The driver reads the first 9 bytes first; the device answers what is asked.
    EXPECT_EQ(GetDescriptor(chip, 2, 0, 9), Bytes(expected.begin(), expected.begin() + 9));
    Bytes device = GetDescriptor(chip, 1, 0, 64);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device, chip.DeviceDescriptor());
    EXPECT_EQ(device[17], 1);  // one configuration
  }
}

TEST_F(SimTest, StringDescriptors) {
  Qz719Chip chip(0x30);
  EXPECT_EQ(GetDescriptor(chip, 3, 0, 255), (Bytes{4, 3, 0x09, 0x04}));
  Bytes serial = GetDescriptor(chip, 3, 3, 255);
  EXPECT_EQ(serial, (Bytes{14, 3, 'Q', 0, 'Z', 0, '0', 0, '0', 0, '0', 0, '1', 0}));
  EXPECT_EQ(Request(chip, 0x80, 6, 0x0309, 0, 255).handshake, Handshake::kStall);
  EXPECT_EQ(Request(chip, 0x80, 6, 0x0201, 0, 255).handshake, Handshake::kStall);  // index 1
}

// Odd devices for the driver's configuration tests.
TEST_F(SimTest, OverriddenDescriptors) {
  struct Case {
    const char* name;
    void (*edit)(Qz719Descriptors&);
    std::size_t length;       // bytes served
    std::uint16_t total;      // wTotalLength claimed
    bool interrupt_endpoint;  // 0x81 answers (NAK) rather than STALL
  } cases[] = {
      {"no interrupt endpoint", [](Qz719Descriptors& d) { d.endpoints.erase(d.endpoints.begin()); },
       32, 32, false},
      {"64-byte bulk packets",
       [](Qz719Descriptors& d) {
         d.endpoints[1].wMaxPacketSize = d.endpoints[2].wMaxPacketSize = 64;
       },
       39, 39, true},
      {"wTotalLength lies", [](Qz719Descriptors& d) { d.wTotalLength = 300; }, 39, 300, true},
      {"exactly 255 bytes", [](Qz719Descriptors& d) { d.trailing.assign(255 - 39, 0); }, 255, 255,
       true},
      {"no interface",
       [](Qz719Descriptors& d) {
         d.has_interface = false;
         d.endpoints.clear();
       },
       9, 9, false},
  };
  for (const Case& c : cases) {
    Qz719Options options;
    options.descriptors = Qz719Descriptors::For(0x30);
    c.edit(*options.descriptors);
    Qz719Chip chip(0x30, options);
    Bytes config = GetDescriptor(chip, 2, 0, 1024);
    EXPECT_EQ(config.size(), c.length) << c.name;
    EXPECT_EQ(config[2] | config[3] << 8, c.total) << c.name;
    SetConfiguration(chip);
    std::uint8_t packet[8];
    std::size_t actual = 0;
    EXPECT_EQ(chip.In(0x81, packet, &actual),
              c.interrupt_endpoint ? Handshake::kNak : Handshake::kStall)
        << c.name;
  }
  Qz719Options raw;
  raw.descriptors = Qz719Descriptors::For(1);
  raw.descriptors->raw_configuration = Bytes{9, 2, 9, 0, 0, 1, 0, 0x80, 0x40};
  Qz719Chip chip(1, raw);
  EXPECT_EQ(GetDescriptor(chip, 2, 0, 255), (Bytes{9, 2, 9, 0, 0, 1, 0, 0x80, 0x40}));
}

TEST_F(SimTest, ConfigurationState) {
  Qz719Chip chip(0x20);
  std::uint8_t packet[32];
  std::size_t actual = 0;
  // Vendor requests work before configuration; the data endpoints do not.
  EXPECT_EQ(ReadReg(chip, REG_LCR1), 0x40);
  EXPECT_EQ(chip.In(0x82, packet, &actual), Handshake::kStall);
  EXPECT_EQ(Request(chip, 0x00, 9, 2).handshake, Handshake::kStall);  // no configuration 2
  SetConfiguration(chip);
  EXPECT_EQ(Request(chip, 0x80, 8, 0, 0, 1).data, Bytes{1});
  EXPECT_EQ(chip.In(0x82, packet, &actual), Handshake::kNak);
  // An IN token on an OUT endpoint, or an endpoint the chip lacks, stalls.
  EXPECT_EQ(chip.In(0x02, packet, &actual), Handshake::kStall);
  EXPECT_EQ(chip.Out(0x82, Bytes{1}), Handshake::kStall);
  EXPECT_EQ(chip.In(0x83, packet, &actual), Handshake::kStall);
  SetConfiguration(chip, 0);
  EXPECT_EQ(chip.In(0x82, packet, &actual), Handshake::kStall);
}

}  // namespace
}  // namespace vax::hw::test
