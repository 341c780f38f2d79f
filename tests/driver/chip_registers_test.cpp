// The chip's register protocol as the driver speaks it: register pairs,
// modem-control outputs and single bytes of chip memory, on each generation.
#include "driver_fixture.h"

namespace vax::test {
namespace {

class ChipRegisters : public DriverTest {
 protected:
  PDEVICE_OBJECT Start(std::uint8_t version, Qz719Options options = {}) {
    if (driver_ == nullptr)
      Load();
    ChipPlug plug;
    plug.version = version;
    plug.options = options;
    plugged_ = Plug(plug);
    EXPECT_EQ(STATUS_SUCCESS, plugged_.arrival);
    plugged_.chip->setups.clear();  // what configuration sent
    return PortFor(plugged_);
  }

  Plugged plugged_;
};

TEST_F(ChipRegisters, RegistersAreReadAndWrittenInPairs) {
  PDEVICE_OBJECT port = Start(0x30);
  WatchedChip& chip = *plugged_.chip;
  EXPECT_EQ(STATUS_SUCCESS,
            AsDriver([&] { return WriteRegisterPair(port, REG_LCR1, 0x43, REG_LCR2, 0x05); }));
  ASSERT_EQ(1u, chip.setups.size());
  EXPECT_EQ(0x2518, chip.setups[0].wValue);
  EXPECT_EQ(0x0543, chip.setups[0].wIndex);
  EXPECT_EQ(0x43, chip.PeekRegister(REG_LCR1));
  EXPECT_EQ(0x05, chip.PeekRegister(REG_LCR2));

  UCHAR lcr1 = 0, lcr2 = 0;
  EXPECT_EQ(STATUS_SUCCESS,
            AsDriver([&] { return ReadRegisterPair(port, REG_LCR1, &lcr1, REG_LCR2, &lcr2); }));
  EXPECT_EQ(0x43, lcr1);
  EXPECT_EQ(0x05, lcr2);
  EXPECT_EQ(0x2518, chip.setups[1].wValue);

  // One register: named twice, one output.
  UCHAR divisor = 0;
  EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] {
              return ReadRegisterPair(port, REG_DIVISOR, &divisor, REG_DIVISOR, &divisor);
            }));
  EXPECT_EQ(chip.PeekRegister(REG_DIVISOR), divisor);
}

// An answer that falls short, or none at all, leaves the outputs alone.
TEST_F(ChipRegisters, AReadThatFallsShortChangesNothing) {
  PDEVICE_OBJECT port = Start(0x20);
  usb_->Faults(plugged_.usb_port).AnswerShort(VR_READ_REGS, 1);
  UCHAR a = 0xAA, b = 0xBB;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            AsDriver([&] { return ReadRegisterPair(port, REG_LCR1, &a, REG_LCR2, &b); }));
  EXPECT_EQ(0xAA, a);
  EXPECT_EQ(0xBB, b);

  // A generation 0x20 chip has no hardware handshake register: it stalls.
  EXPECT_FALSE(NT_SUCCESS(
      AsDriver([&] { return ReadRegisterPair(port, REG_HW_FLOW, &a, REG_HW_FLOW, &b); })));
  EXPECT_EQ(0xAA, a);
  EXPECT_EQ(0xBB, b);
}

// The caller passes the complement of the outputs it wants (the lines are
// active-low); older chips take it in REG_MODEM, newer ones by request.
TEST_F(ChipRegisters, ModemControlGoesTheWayTheGenerationTakesIt) {
  struct Case {
    std::uint8_t version;
    std::uint8_t request;
  };
  for (const Case& c :
       {Case{0x01, VR_WRITE_REGS}, Case{0x20, VR_MODEM_CONTROL}, Case{0x30, VR_MODEM_CONTROL}}) {
    SCOPED_TRACE(c.version);
    PDEVICE_OBJECT port = Start(c.version);
    WatchedChip& chip = *plugged_.chip;
    const UCHAR dtr_and_rts = static_cast<UCHAR>(~(kModemControlDtr | kModemControlRts));
    EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return WriteModemControl(port, dtr_and_rts); }));
    EXPECT_EQ((hw::ModemOutputs{true, true, false}), chip.GetModemOutputs());
    EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return WriteModemControl(port, 0xFF); }));
    EXPECT_EQ((hw::ModemOutputs{false, false, false}), chip.GetModemOutputs());
    EXPECT_EQ((std::vector<std::uint8_t>{c.request, c.request}), chip.VendorRequests());
    if (c.request == VR_WRITE_REGS) {
      EXPECT_EQ(0x0606, chip.setups.back().wValue);
    }
  }
}

struct ByteAccessCase {
  const char* name;
  std::uint8_t version;
  bool read;
  int busy_polls;           // status block polls the chip answers busy
  int short_status_blocks;  // status block answers cut to 5 bytes
  bool empty_byte_answer;
  NTSTATUS status;
  std::vector<std::uint8_t> requests;
};

// Names the case in test listings.
void PrintTo(const ByteAccessCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<std::uint8_t> Repeat(std::uint8_t request, int n) {
  return std::vector<std::uint8_t>(static_cast<std::size_t>(n), request);
}
std::vector<std::uint8_t> Then(std::uint8_t first, std::vector<std::uint8_t> rest) {
  rest.insert(rest.begin(), first);
  return rest;
}

std::vector<ByteAccessCase> ByteAccessCases() {
  return {
      {"generation 1 read, busy for three polls", 0x01, true, 3, 0, false, STATUS_SUCCESS,
       Then(VR_BYTE_COMMAND, Repeat(VR_STATUS_BLOCK, 4))},
      {"generation 1 write", 0x01, false, 1, 0, false, STATUS_SUCCESS,
       Then(VR_BYTE_COMMAND, Repeat(VR_STATUS_BLOCK, 2))},
      {"generation 1 busy for good", 0x01, true, 1000, 0, false, STATUS_UNSUCCESSFUL,
       Then(VR_BYTE_COMMAND, Repeat(VR_STATUS_BLOCK, 100))},
      {"generation 1 with five short status blocks", 0x01, true, 0, 5, false, STATUS_UNSUCCESSFUL,
       Then(VR_BYTE_COMMAND, Repeat(VR_STATUS_BLOCK, 5))},
      {"generation 0x30 write",
       0x30,
       false,
       0,
       0,
       false,
       STATUS_SUCCESS,
       {VR_BYTE_ACCESS, VR_BYTE_FINISH}},
      {"generation 0x20 read", 0x20, true, 0, 0, false, STATUS_SUCCESS, {VR_BYTE_ACCESS}},
      {"generation 0x20 read answered with no byte",
       0x20,
       true,
       0,
       0,
       true,
       STATUS_UNSUCCESSFUL,
       {VR_BYTE_ACCESS}},
  };
}

class ChipBytes : public ChipRegisters, public ::testing::WithParamInterface<ByteAccessCase> {};

// Parameter byte 1 carries the page (bits 1-7) and the read flag (bit 0),
// parameter byte 2 the offset in the page.
TEST_P(ChipBytes, OneByteOfChipMemory) {
  const ByteAccessCase& c = GetParam();
  Qz719Options options;
  options.byte_busy_polls = c.busy_polls;
  PDEVICE_OBJECT port = Start(c.version, options);
  WatchedChip& chip = *plugged_.chip;
  if (c.short_status_blocks > 0)
    usb_->Faults(plugged_.usb_port).AnswerShort(VR_STATUS_BLOCK, 5, c.short_status_blocks);
  if (c.empty_byte_answer)
    usb_->Faults(plugged_.usb_port).AnswerShort(VR_BYTE_ACCESS, 0);

  const std::uint16_t address = 0x0312;  // page 3, offset 0x12
  const UCHAR param1 = static_cast<UCHAR>((3 << 1) | (c.read ? 1 : 0));
  const UCHAR param2 = 0x12;
  chip.PokeMemory(address, 0x5C);
  UCHAR data = c.read ? 0 : 0xA7;
  EXPECT_EQ(c.status, AsDriver([&] { return ChipByteAccess(port, param1, param2, &data); }));
  EXPECT_EQ(c.requests, chip.VendorRequests());
  if (!NT_SUCCESS(c.status)) {
    EXPECT_EQ(0, data);
    return;
  }
  EXPECT_EQ(c.read ? 0x5C : 0xA7, data);
  EXPECT_EQ(c.read ? 0x5C : 0xA7, chip.PeekMemory(address));
  if (!c.read && c.version >= 0x20) {
    EXPECT_EQ(10, chip.setups.back().wValue);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChipBytes, ::testing::ValuesIn(ByteAccessCases()),
                         CaseName<ByteAccessCase>);

}  // namespace
}  // namespace vax::test
