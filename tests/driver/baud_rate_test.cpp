// Rate programming as the chip sees it: the prescaler and divisor bytes for
// each rate, the character-time register for the frame, and the shadows that
// spare requests for values already in the chip.
#include "driver_fixture.h"

namespace vax::test {
namespace {

constexpr std::uint16_t kRatePair = REG_PRESCALER | (REG_DIVISOR << 8);
constexpr std::uint16_t kCharTimePair = REG_CHAR_TIME | (REG_CHAR_TIME_PAIR << 8);

class BaudRateTest : public DriverTest {
 protected:
  PDEVICE_OBJECT Start(std::uint8_t version) { return PlugOneQuiet(version); }

  NTSTATUS Program(PDEVICE_OBJECT port, ULONG rate, UCHAR parity = 0) {
    PortOf(port)->BaudRate = rate;
    PortOf(port)->LineParity = parity;
    return AsDriver([&] { return ProgramBaudRate(port); });
  }

  // The registers each VR_WRITE_REGS named, in order.
  std::vector<std::uint16_t> Writes() const {
    std::vector<std::uint16_t> pairs;
    for (const usb::SetupPacket& setup : plugged_.chip->setups) {
      if (setup.bRequest == VR_WRITE_REGS)
        pairs.push_back(setup.wValue);
    }
    return pairs;
  }
};

struct RateCase {
  const char* name;
  ULONG rate;
  std::uint8_t prescaler;  // below 0x30; the 0x30 chip adds bit 7
  std::uint8_t divisor;
  std::uint8_t char_time_8n1, char_time_8e1;
};

void PrintTo(const RateCase& c, std::ostream* os) {
  *os << c.name;
}

const RateCase kRateCases[] = {
    {"46, the slowest", 46, 0, 0x02, 254, 254},
    {"50", 50, 0, 0x16, 254, 254},
    {"300", 300, 0, 0xD9, 215, 235},
    {"1200, the lower neighbour is nearer", 1200, 1, 0xB2, 54, 59},
    {"9600", 9600, 2, 0xB2, 7, 8},
    {"19200", 19200, 2, 0xD9, 4, 4},
    {"23529, top of code 2", 23529, 2, 0xE0, 4, 4},
    {"23530, bottom of code 3", 23530, 3, 0x01, 4, 4},
    {"307200 on the auxiliary clock", 307200, 7, 0xD9, 1, 1},
    {"921600 on the auxiliary clock", 921600, 7, 0xF3, 1, 1},
    {"1000000", 1000000, 3, 0xFA, 1, 1},
    // Halfway between 3,000,000 and 2,000,000: the tie goes to the higher.
    {"2500000 ties to 3000000", 2500000, 3, 0xFE, 1, 1},
    {"3000000, the fastest", 3000000, 3, 0xFE, 1, 1},
};

class RateBytes : public BaudRateTest, public ::testing::WithParamInterface<RateCase> {};

// Each rate costs one rate request and one character-time request; the same
// rate again costs nothing, and a parity change only rewrites the character
// time when it moves by more than a sixteenth.
TEST_P(RateBytes, ReachTheChipOnceEach) {
  const RateCase& c = GetParam();
  for (std::uint8_t version : {0x01, 0x30}) {
    SCOPED_TRACE(version);
    PDEVICE_OBJECT port = Start(version);
    const std::uint8_t prescaler = version >= 0x30 ? c.prescaler | 0x80 : c.prescaler;
    ASSERT_EQ(STATUS_SUCCESS, Program(port, c.rate));
    EXPECT_EQ((std::vector<std::uint16_t>{kRatePair, kCharTimePair}), Writes());
    EXPECT_EQ(prescaler, chip().PeekRegister(REG_PRESCALER));
    EXPECT_EQ(c.divisor, chip().PeekRegister(REG_DIVISOR));
    EXPECT_EQ(c.char_time_8n1, chip().PeekRegister(REG_CHAR_TIME));
    EXPECT_EQ(0, chip().PeekRegister(REG_CHAR_TIME_PAIR));
    EXPECT_EQ(prescaler, PortOf(port)->PrescalerShadow);
    EXPECT_EQ(c.divisor, PortOf(port)->DivisorShadow);

    chip().setups.clear();
    ASSERT_EQ(STATUS_SUCCESS, Program(port, c.rate));
    EXPECT_TRUE(chip().setups.empty());

    ASSERT_EQ(STATUS_SUCCESS, Program(port, c.rate, /*even*/ 2));
    const bool rewritten = c.char_time_8e1 != c.char_time_8n1;
    EXPECT_EQ(rewritten ? std::vector<std::uint16_t>{kCharTimePair} : std::vector<std::uint16_t>{},
              Writes());
    EXPECT_EQ(c.char_time_8e1, chip().PeekRegister(REG_CHAR_TIME));
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, RateBytes, ::testing::ValuesIn(kRateCases), CaseName<RateCase>);

// Rates the chip cannot run at are refused before anything is sent, and the
// rate already in the chip stays there with its shadows.
TEST_F(BaudRateTest, UnreachableRatesSendNothing) {
  PDEVICE_OBJECT port = Start(0x20);
  ASSERT_EQ(STATUS_SUCCESS, Program(port, 19200));
  chip().setups.clear();
  for (ULONG rate : {0u, 1u, 45u, 3000001u, 4000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(rate);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Program(port, rate));
    EXPECT_EQ(rate, PortOf(port)->BaudRate);
  }
  EXPECT_TRUE(chip().setups.empty());
  EXPECT_EQ(0xD9u, PortOf(port)->DivisorShadow);
  EXPECT_EQ(4u, PortOf(port)->CharTimeShadow);
}

TEST_F(BaudRateTest, CharacterTimeFollowsTheFrame) {
  PDEVICE_OBJECT port = Start(0x30);
  PPORT_EXTENSION ext = PortOf(port);
  struct Case {
    UCHAR data_mask, parity, stop_bits;
    std::uint8_t char_time;  // at 300 bit/s
  };
  // Only an 8-bit word with parity or extra stop is an 11-bit frame.
  for (const Case& c : {Case{0xFF, 0, 0, 215}, Case{0xFF, 0, 2, 235}, Case{0xFF, 3, 0, 235},
                        Case{0x7F, 2, 2, 215}, Case{0x1F, 1, 1, 215}}) {
    SCOPED_TRACE(testing::Message()
                 << int(c.data_mask) << " " << int(c.parity) << " " << int(c.stop_bits));
    ext->CharTimeShadow = kShadowInvalid;
    ext->DataMask = c.data_mask;
    ext->LineStopBits = c.stop_bits;
    ASSERT_EQ(STATUS_SUCCESS, Program(port, 300, c.parity));
    EXPECT_EQ(c.char_time, chip().PeekRegister(REG_CHAR_TIME));
  }
}

// A small move of the character time is not worth a request: 300 to 310 bit/s
// moves it from 215 to 208, within 215 / 16.
TEST_F(BaudRateTest, SmallCharacterTimeChangesAreNotWritten) {
  PDEVICE_OBJECT port = Start(0x01);
  ASSERT_EQ(STATUS_SUCCESS, Program(port, 300));
  chip().setups.clear();
  ASSERT_EQ(STATUS_SUCCESS, Program(port, 310));
  EXPECT_EQ((std::vector<std::uint16_t>{kRatePair}), Writes());
  EXPECT_EQ(215, chip().PeekRegister(REG_CHAR_TIME));
  EXPECT_EQ(215u, PortOf(port)->CharTimeShadow);
  // 1200 bit/s is far enough: 54.
  ASSERT_EQ(STATUS_SUCCESS, Program(port, 1200));
  EXPECT_EQ(54, chip().PeekRegister(REG_CHAR_TIME));
}

// A failed write forgets what the chip holds, so the next call sends again.
TEST_F(BaudRateTest, FailedWritesInvalidateTheirShadows) {
  PDEVICE_OBJECT port = Start(0x30);
  PPORT_EXTENSION ext = PortOf(port);
  usb_->Faults(plugged_.usb_port).FailNextUrbs(0, 1, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(NT_SUCCESS(Program(port, 9600)));
  EXPECT_TRUE(chip().setups.empty());  // failed on the way, before the chip
  EXPECT_EQ(kShadowInvalid, ext->PrescalerShadow);
  EXPECT_EQ(kShadowInvalid, ext->DivisorShadow);
  EXPECT_EQ(kShadowInvalid, ext->CharTimeShadow);  // never attempted

  ASSERT_EQ(STATUS_SUCCESS, Program(port, 9600));
  EXPECT_EQ(0xB2, chip().PeekRegister(REG_DIVISOR));

  // Only the character time fails: the rate stays known.
  chip().setups.clear();
  usb_->Faults(plugged_.usb_port).FailNextUrbs(0, 1, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(NT_SUCCESS(Program(port, 9600, /*even*/ 2)));
  EXPECT_EQ(0x82u, ext->PrescalerShadow);
  EXPECT_EQ(kShadowInvalid, ext->CharTimeShadow);
  chip().setups.clear();
  ASSERT_EQ(STATUS_SUCCESS, Program(port, 9600, 2));
  EXPECT_EQ((std::vector<std::uint16_t>{kCharTimePair}), Writes());
  EXPECT_EQ(8, chip().PeekRegister(REG_CHAR_TIME));
}

TEST_F(BaudRateTest, CharacterTimeIsElevenBits) {
  PDEVICE_OBJECT port = Start(0x20);
  struct Case {
    ULONG rate, ticks;
  };
  for (const Case& c : {Case{9600, 11458}, Case{300, 366666}, Case{3000000, 36}, Case{0, 0}}) {
    PortOf(port)->BaudRate = c.rate;
    EXPECT_EQ(c.ticks, AsDriver([&] { return CharacterTime(port); })) << c.rate;
  }
}

}  // namespace
}  // namespace vax::test
