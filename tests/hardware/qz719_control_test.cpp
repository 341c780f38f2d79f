// The chip's control endpoint per generation: which vendor requests each
// generation answers, the register file, VR_SERIAL_INIT, the modem-control
// outputs and the byte access to the chip memory.
#include <gtest/gtest.h>

#include "chip_bench.h"
#include "hardware/line/scripted_peer.h"

namespace vax::hw::test {
namespace {

using namespace qz719;

constexpr std::uint8_t kGenerations[] = {0x01, 0x20, 0x25, 0x30};

class ControlTest : public SimTest, public ::testing::WithParamInterface<std::uint8_t> {};

// Each of the nine requests with well-formed arguments, and what each
// generation answers.
TEST_P(ControlTest, RequestsAnsweredByGeneration) {
  Qz719Chip chip(GetParam());
  const bool newer = GetParam() >= 0x20;
  struct Case {
    const char* name;
    std::uint8_t type, request;
    std::uint16_t value, index, length;
    bool acked;
  } cases[] = {
      {"VR_GET_VERSION", 0xC0, VR_GET_VERSION, 0, 0, 7, newer},
      {"VR_READ_REGS", 0xC0, VR_READ_REGS, 0x0706, 0, 2, true},
      {"VR_WRITE_REGS", 0x40, VR_WRITE_REGS, 0x1312, 0xD902, 0, true},
      {"VR_SERIAL_INIT", 0x40, VR_SERIAL_INIT, 0, 0, 0, true},
      {"VR_MODEM_CONTROL", 0x40, VR_MODEM_CONTROL, 0xFF, 0, 0, newer},
      {"VR_STATUS_BLOCK", 0xC0, VR_STATUS_BLOCK, 0, 0, 8, true},
      {"VR_BYTE_COMMAND", 0x40, VR_BYTE_COMMAND, 0x55, 0x0010, 0, true},
      {"VR_BYTE_ACCESS in", 0xC0, VR_BYTE_ACCESS, 0x1000, 0x0001, 1, newer},
      {"VR_BYTE_ACCESS out", 0x40, VR_BYTE_ACCESS, 0x1055, 0x0001, 0, newer},
      {"VR_BYTE_FINISH", 0x40, VR_BYTE_FINISH, 10, 0, 0, newer},
      {"unknown vendor request", 0x40, 0x60, 0, 0, 0, false},
      {"VR_READ_REGS sent OUT", 0x40, VR_READ_REGS, 0x0706, 0, 0, false},
      {"vendor request to the interface", 0xC1, VR_READ_REGS, 0x0706, 0, 2, false},
      {"class request", 0x21, 0x20, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    ControlResult r = Request(chip, c.type, c.request, c.value, c.index, c.length);
    EXPECT_EQ(r.handshake, c.acked ? Handshake::kAck : Handshake::kStall) << c.name;
  }
}

TEST_P(ControlTest, VersionAnswerIsVersionThenRevision) {
  Qz719Chip chip(GetParam());
  ControlResult r = VendorIn(chip, VR_GET_VERSION, 0, 0, 7);
  if (GetParam() < 0x20) {
    EXPECT_EQ(r.handshake, Handshake::kStall);
    return;
  }
  EXPECT_EQ(r.data, (std::vector<std::uint8_t>{GetParam(), 0x00}));
  EXPECT_EQ(VendorIn(chip, VR_GET_VERSION, 0, 0, 1).data, std::vector<std::uint8_t>{GetParam()});
}

TEST_P(ControlTest, RegisterFile) {
  Qz719Chip chip(GetParam());
  const bool has_flow = GetParam() >= 0x30;
  // Power-on values: 9600 bit/s (code 2, 256 - 78), 8N1, no break, outputs off.
  EXPECT_EQ(ReadReg(chip, REG_PRESCALER), has_flow ? 0x82 : 0x02);
  EXPECT_EQ(ReadReg(chip, REG_DIVISOR), 0xB2);
  EXPECT_EQ(ReadReg(chip, REG_LCR1), has_flow ? 0x43 : 0x40);
  EXPECT_EQ(ReadReg(chip, REG_LINE_AUX), GetParam() == 0x25 ? 0x11 : 0x01);
  EXPECT_EQ(ReadReg(chip, REG_MODEM), 0xFF);
  EXPECT_EQ(ReadReg(chip, REG_TX_STATUS), 0x00);

  // One request writes regA then regB, and one reads them back in order.
  EXPECT_EQ(WriteRegs(chip, REG_CHAR_TIME, 0x2A, REG_CHAR_TIME_HIGH, 0x01), Handshake::kAck);
  EXPECT_EQ(VendorIn(chip, VR_READ_REGS, REG_CHAR_TIME | REG_CHAR_TIME_HIGH << 8, 0, 2).data,
            (std::vector<std::uint8_t>{0x2A, 0x01}));
  // A register named twice takes the second value.
  EXPECT_EQ(WriteRegs(chip, REG_LCR2, 0x11, REG_LCR2, 0x22), Handshake::kAck);
  EXPECT_EQ(ReadReg(chip, REG_LCR2), 0x22);
  // Read-only parts: REG_TX_STATUS, REG_LINE_AUX bit 1, REG_MODEM's inputs.
  EXPECT_EQ(WriteReg(chip, REG_TX_STATUS, 0xFF), Handshake::kAck);
  EXPECT_EQ(ReadReg(chip, REG_TX_STATUS), 0x00);
  EXPECT_EQ(WriteReg(chip, REG_LINE_AUX, 0x03), Handshake::kAck);
  EXPECT_EQ(ReadReg(chip, REG_LINE_AUX), 0x01);
  EXPECT_EQ(WriteReg(chip, REG_MODEM, 0x00), Handshake::kAck);
  EXPECT_EQ(*ReadReg(chip, REG_MODEM) & 0x0F, 0x0F);

  // REG_HW_FLOW exists from 0x30 on; registers the chip lacks stall, and a
  // pair with one bad register writes neither.
  EXPECT_EQ(ReadReg(chip, REG_HW_FLOW).has_value(), has_flow);
  EXPECT_EQ(WriteReg(chip, REG_HW_FLOW, 1), has_flow ? Handshake::kAck : Handshake::kStall);
  for (std::uint8_t bad : {0x00, 0x08, 0x10, 0x26, 0x2D, 0xFF}) {
    EXPECT_FALSE(ReadReg(chip, bad).has_value()) << int(bad);
    EXPECT_EQ(WriteRegs(chip, REG_LCR2, 0x33, bad, 0), Handshake::kStall) << int(bad);
  }
  EXPECT_EQ(ReadReg(chip, REG_LCR2), 0x22);
}

TEST_P(ControlTest, ModemControlOutputsAndInputs) {
  Qz719Chip chip(GetParam());
  ScriptedPeer peer(chip, LineSettings::Of(9600));
  // The driver's image: bit 5 DTR, bit 6 RTS, bit 4 the third output, sent
  // complemented (the chip's lines are active low).
  auto drive = [&](std::uint8_t image) {
    std::uint8_t wire = std::uint8_t(~image);
    if (GetParam() >= 0x20)
      return VendorOut(chip, VR_MODEM_CONTROL, wire, 0);
    return WriteReg(chip, REG_MODEM, wire);
  };
  ASSERT_EQ(drive(0x20), Handshake::kAck);
  EXPECT_EQ(peer.FarOutputs(), (ModemOutputs{true, false, false}));
  ASSERT_EQ(drive(0x70), Handshake::kAck);
  EXPECT_EQ(peer.FarOutputs(), (ModemOutputs{true, true, true}));
  EXPECT_EQ(*ReadReg(chip, REG_MODEM) & 0x70, 0x00);
  ASSERT_EQ(drive(0x40), Handshake::kAck);
  EXPECT_EQ(peer.FarOutputs(), (ModemOutputs{false, true, false}));
  EXPECT_EQ(*ReadReg(chip, REG_MODEM) & 0x70, 0x30);

  // The other path does not drive the outputs in this generation.
  if (GetParam() >= 0x20) {
    EXPECT_EQ(WriteReg(chip, REG_MODEM, 0x00), Handshake::kAck);
  } else {
    EXPECT_EQ(VendorOut(chip, VR_MODEM_CONTROL, 0x00, 0), Handshake::kStall);
  }
  EXPECT_EQ(peer.FarOutputs(), (ModemOutputs{false, true, false}));

  // Inputs: bits 0-3 CTS, DSR, RI, DCD, each 0 while asserted.
  peer.SetLines({.cts = true, .dsr = false, .ri = true, .dcd = false});
  EXPECT_EQ(*ReadReg(chip, REG_MODEM) & 0x0F, 0x0A);
  peer.SetLines({.cts = false, .dsr = true, .ri = false, .dcd = true});
  EXPECT_EQ(*ReadReg(chip, REG_MODEM) & 0x0F, 0x05);
}

// The byte access pair of each generation reaches the same chip memory.
TEST_P(ControlTest, ByteAccessToChipMemory) {
  Qz719Options options;
  options.byte_busy_polls = 3;
  Qz719Chip chip(GetParam(), options);
  const std::uint16_t address = 0x0312;  // page 3 (command byte 6 or 7), parameter 0x12
  chip.PokeMemory(address, 0x5A);
  if (GetParam() < 0x20) {
    // Read: command byte 7 (page 3, read bit), parameter 0x12.
    ASSERT_EQ(VendorOut(chip, VR_BYTE_COMMAND, 0, 0x0712), Handshake::kAck);
    for (int poll = 0; poll < 3; ++poll) {
      EXPECT_EQ(VendorIn(chip, VR_STATUS_BLOCK, 0, 0, 8).data[5] & 1, 1) << poll;
    }
    std::vector<std::uint8_t> block = VendorIn(chip, VR_STATUS_BLOCK, 0, 0, 8).data;
    ASSERT_EQ(block.size(), 8u);
    EXPECT_EQ(block[5] & 1, 0);
    EXPECT_EQ(block[4], 0x5A);
    // Write: command byte 6.
    ASSERT_EQ(VendorOut(chip, VR_BYTE_COMMAND, 0xC3, 0x0612), Handshake::kAck);
    EXPECT_EQ(chip.PeekMemory(address), 0xC3);
    return;
  }
  // Read: wValue = parameter << 8, wIndex = (command & 0xFE) << 8 | 1.
  EXPECT_EQ(VendorIn(chip, VR_BYTE_ACCESS, 0x1200, 0x0601, 1).data,
            std::vector<std::uint8_t>{0x5A});
  // A write is staged until VR_BYTE_FINISH commits it with wValue 10.
  ASSERT_EQ(VendorOut(chip, VR_BYTE_ACCESS, 0x12C3, 0x0601), Handshake::kAck);
  EXPECT_EQ(chip.PeekMemory(address), 0x5A);
  EXPECT_EQ(VendorOut(chip, VR_BYTE_FINISH, 11, 0), Handshake::kStall);
  EXPECT_EQ(chip.PeekMemory(address), 0x5A);
  ASSERT_EQ(VendorOut(chip, VR_BYTE_FINISH, 10, 0), Handshake::kAck);
  EXPECT_EQ(chip.PeekMemory(address), 0xC3);
  // Only the access opcode 1 in wIndex's low byte is understood; pages past
  // the memory read as 0xFF.
  EXPECT_EQ(VendorIn(chip, VR_BYTE_ACCESS, 0x1200, 0x0602, 1).handshake, Handshake::kStall);
  EXPECT_EQ(VendorIn(chip, VR_BYTE_ACCESS, 0x0000, 0xFE01, 1).data,
            std::vector<std::uint8_t>{0xFF});
}

INSTANTIATE_TEST_SUITE_P(Generations, ControlTest, ::testing::ValuesIn(kGenerations),
                         [](const auto& info) { return "v" + std::to_string(info.param); });

// VR_SERIAL_INIT loads exactly the registers whose presence flag is set, in
// the layout of the chip's generation.
TEST_F(SimTest, SerialInitAppliesPresenceFlags) {
  struct Case {
    const char* name;
    std::uint8_t version;
    std::uint16_t value, index;
    std::uint8_t lcr1, lcr2, prescaler, divisor, char_time;  // expected afterwards
  } cases[] = {
      // Before each case: LCR1 0x5F, LCR2 0xA7, prescaler 0x01 (| 0x80), divisor 0x11, time 0x77.
      {"nothing present", 0x30, 0x0000, 0x0000, 0x5F, 0xA7, 0x81, 0x11, 0x77},
      {"0x30 reopen 0x9C", 0x30, 0x439C, 0xD98A, 0x43, 0xA7, 0x82, 0xD9, 0x08},
      {"0x30 char time alone keeps bit 7", 0x30, 0x0010, 0x00D0, 0x5F, 0xA7, 0x81, 0x11, 0xD0},
      {"0x30 ignores the old line flags", 0x30, 0xC503, 0x0000, 0x5F, 0xA7, 0x81, 0x11, 0x77},
      {"0x20 line halves", 0x20, 0xC503, 0x0000, 0xCF, 0xA5, 0x01, 0x11, 0x77},
      {"0x20 ignores 0x80", 0x20, 0xC580, 0x0000, 0x5F, 0xA7, 0x01, 0x11, 0x77},
      {"gen 1 everything", 0x01, 0x461F, 0xB2F2, 0x4F, 0xA6, 0x02, 0xB2, 0xF0},
  };
  for (const Case& c : cases) {
    Qz719Chip chip(c.version);
    std::uint8_t enable = chip.traits().prescaler_enable_bit ? 0x80 : 0;
    ASSERT_EQ(WriteRegs(chip, REG_LCR1, 0x5F, REG_LCR2, 0xA7), Handshake::kAck);
    ASSERT_EQ(WriteRegs(chip, REG_PRESCALER, 0x01 | enable, REG_DIVISOR, 0x11), Handshake::kAck);
    ASSERT_EQ(WriteReg(chip, REG_CHAR_TIME, 0x77), Handshake::kAck);
    ASSERT_EQ(VendorOut(chip, VR_SERIAL_INIT, c.value, c.index), Handshake::kAck) << c.name;
    EXPECT_EQ(ReadReg(chip, REG_LCR1), c.lcr1) << c.name;
    EXPECT_EQ(ReadReg(chip, REG_LCR2), c.lcr2) << c.name;
    EXPECT_EQ(ReadReg(chip, REG_PRESCALER), c.prescaler) << c.name;
    EXPECT_EQ(ReadReg(chip, REG_DIVISOR), c.divisor) << c.name;
    EXPECT_EQ(ReadReg(chip, REG_CHAR_TIME), c.char_time) << c.name;
  }
}

}  // namespace
}  // namespace vax::hw::test
