// Line control, modem-control outputs and break as the chip and the far end
// of the line see them, on each chip generation.
#include <vector>

#include "driver_fixture.h"
#include "hardware/line/scripted_peer.h"

namespace vax::test {
namespace {

using hw::LineSettings;
using hw::Parity;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kLinePair = REG_LCR1 | (REG_LCR2 << 8);
constexpr std::uint16_t kBreakPair = REG_LINE_AUX | (REG_LCR1 << 8);

UCHAR MaskFor(int data_bits) {
  return static_cast<UCHAR>((1u << data_bits) - 1);
}

class LineControlTest : public DriverTest {
 protected:
  PDEVICE_OBJECT Start(std::uint8_t version) { return PlugOneQuiet(version); }

  NTSTATUS SetLine(PDEVICE_OBJECT port, int data_bits, UCHAR parity, UCHAR stop_bits) {
    PPORT_EXTENSION ext = PortOf(port);
    ext->DataMask = MaskFor(data_bits);
    ext->LineParity = parity;
    ext->LineStopBits = stop_bits;
    return AsDriver([&] { return ProgramLineControl(port); });
  }

  // Sends bytes through the port's bulk-OUT pipe, as the writer does.
  void SendRaw(PDEVICE_OBJECT port, Bytes bytes) {
    URB urb = {};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           PortOf(port)->BulkOutPipe, bytes.data(), nullptr,
                                           static_cast<ULONG>(bytes.size()), 0, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SubmitUrb(port, &urb); }));
  }

  std::vector<std::uint8_t> Requests() const { return plugged_.chip->VendorRequests(); }
};

// ---------------------------------------------------------------------------
// Register layouts

struct LayoutCase {
  const char* name;
  std::uint8_t version;
  int data_bits;
  UCHAR parity, stop_bits;
  std::uint8_t lcr1, lcr2;  // written over registers that held 0xFF
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
  *os << c.name;
}

// Bits that are not part of the frame keep what the chip held: 6-7 of LCR1
// on 0x30+, and on older chips 4 and 6 of LCR1 and 3-7 of LCR2.
const LayoutCase kLayoutCases[] = {
    {"0x30 8N1", 0x30, 8, 0, 0, 0xC3, 0},
    {"0x30 7E1", 0x30, 7, 2, 0, 0xDA, 0},
    {"0x30 8O1", 0x30, 8, 1, 0, 0xCB, 0},
    {"0x30 8M2", 0x30, 8, 3, 2, 0xEF, 0},
    {"0x30 5S1.5", 0x30, 5, 4, 1, 0xFC, 0},
    {"0x30 6N2", 0x30, 6, 0, 2, 0xC5, 0},
    {"gen1 8O1", 0x01, 8, 1, 0, 0xD0, 0xFE},
    {"gen1 8E1", 0x01, 8, 2, 0, 0xD0, 0xFF},
    {"gen1 8M1", 0x01, 8, 3, 0, 0xD0, 0xFD},
    {"gen1 8S2", 0x01, 8, 4, 2, 0xD0, 0xFC},
    {"gen1 8N2, mark ninth bit as a stop", 0x01, 8, 0, 2, 0xD0, 0xFD},
    {"gen1 8N1", 0x01, 8, 0, 0, 0x50, 0xF8},
    {"0x20 7E2, mark ninth bit", 0x20, 7, 2, 2, 0xD0, 0xFD},
    {"0x20 7E1, parity in software", 0x20, 7, 2, 0, 0x50, 0xF8},
    {"0x25 7N2", 0x25, 7, 0, 2, 0x50, 0xF8},
    {"0x25 6O2", 0x25, 6, 1, 2, 0x50, 0xF8},
};

class LineLayout : public LineControlTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LineLayout, OneReadThenOneWriteThenNothing) {
  const LayoutCase& c = GetParam();
  PDEVICE_OBJECT port = Start(c.version);
  ASSERT_EQ(STATUS_SUCCESS,
            AsDriver([&] { return WriteRegisterPair(port, REG_LCR1, 0xFF, REG_LCR2, 0xFF); }));
  chip().setups.clear();

  ASSERT_EQ(STATUS_SUCCESS, SetLine(port, c.data_bits, c.parity, c.stop_bits));
  EXPECT_EQ((Bytes{VR_READ_REGS, VR_WRITE_REGS}), Requests());
  EXPECT_EQ(kLinePair, chip().setups.back().wValue);
  EXPECT_EQ(c.lcr1 | (c.lcr2 << 8), chip().setups.back().wIndex);
  EXPECT_EQ(c.lcr1, PortOf(port)->Lcr1Shadow);
  EXPECT_EQ(c.lcr2, PortOf(port)->Lcr2Shadow);

  chip().setups.clear();
  ASSERT_EQ(STATUS_SUCCESS, SetLine(port, c.data_bits, c.parity, c.stop_bits));
  EXPECT_TRUE(chip().setups.empty());
}

INSTANTIATE_TEST_SUITE_P(Layouts, LineLayout, ::testing::ValuesIn(kLayoutCases),
                         CaseName<LayoutCase>);

// A failed read or write leaves the shadows invalid, so the next call asks
// the chip again instead of trusting them.
TEST_F(LineControlTest, FailuresForgetTheShadows) {
  PDEVICE_OBJECT port = Start(0x30);
  PPORT_EXTENSION ext = PortOf(port);
  usb_->Faults(plugged_.usb_port).AnswerShort(VR_READ_REGS, 1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetLine(port, 7, 2, 0));
  EXPECT_EQ((Bytes{VR_READ_REGS}), Requests());
  EXPECT_EQ(kShadowInvalid, ext->Lcr1Shadow);
  EXPECT_EQ(kShadowInvalid, ext->Lcr2Shadow);

  chip().setups.clear();
  ASSERT_EQ(STATUS_SUCCESS, SetLine(port, 8, 0, 0));  // the power-on frame: nothing to write
  EXPECT_EQ((Bytes{VR_READ_REGS}), Requests());
  usb_->Faults(plugged_.usb_port).FailNextUrbs(0, 1, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(NT_SUCCESS(SetLine(port, 7, 2, 0)));
  EXPECT_EQ(kShadowInvalid, ext->Lcr1Shadow);

  chip().setups.clear();
  ASSERT_EQ(STATUS_SUCCESS, SetLine(port, 7, 2, 0));
  EXPECT_EQ((Bytes{VR_READ_REGS, VR_WRITE_REGS}), Requests());
  EXPECT_EQ(0x5A, chip().PeekRegister(REG_LCR1));
}

// ---------------------------------------------------------------------------
// Software framing of older chips

TEST(FrameOutgoingBytes, PutsParityAndStopFillAboveTheData) {
  struct Case {
    int data_bits;
    UCHAR parity;
    Bytes in, out;
  };
  const Case cases[] = {
      {7, 2, {0x41, 0x43, 0xC1}, {0x41, 0xC3, 0x41}},  // even; bits above the word dropped
      {7, 1, {0x41, 0x43}, {0xC1, 0x43}},              // odd
      {7, 3, {0x41}, {0xC1}},                          // mark
      {7, 4, {0x43}, {0x43}},                          // space
      {7, 0, {0x00, 0x7F}, {0x80, 0xFF}},              // none: bit 7 is a stop bit
      {5, 0, {0x15}, {0xF5}},
      {6, 4, {0x3F}, {0xBF}},
      {6, 2, {0x01, 0x03}, {0xC1, 0x83}},
      {6, 1, {0x01, 0x03}, {0x81, 0xC3}},
  };
  for (const Case& c : cases) {
    PORT_EXTENSION port = {};
    port.DataMask = MaskFor(c.data_bits);
    port.LineParity = c.parity;
    Bytes bytes = c.in;
    FrameOutgoingBytes(&port, bytes.data(), static_cast<ULONG>(bytes.size()));
    EXPECT_EQ(c.out, bytes) << c.data_bits << " bits, parity " << int(c.parity);
  }
}

// ---------------------------------------------------------------------------
// Modem-control outputs

TEST_F(LineControlTest, OutputsReachTheLinesOnlyWhenTheyChange) {
  for (std::uint8_t version : {0x01, 0x20, 0x30}) {
    SCOPED_TRACE(version);
    PDEVICE_OBJECT port = Start(version);
    PPORT_EXTENSION ext = PortOf(port);
    const std::uint8_t request = version < 0x20 ? VR_WRITE_REGS : VR_MODEM_CONTROL;

    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetDtr(port, TRUE); }));
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetDtr(port, TRUE); }));
    EXPECT_EQ((hw::ModemOutputs{true, false, false}), chip().GetModemOutputs());
    ext->ToggleRtsRequests = 3;
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetRts(port, TRUE); }));
    EXPECT_EQ(0u, ext->ToggleRtsRequests);
    EXPECT_EQ((hw::ModemOutputs{true, true, false}), chip().GetModemOutputs());
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetDtr(port, FALSE); }));
    EXPECT_EQ((hw::ModemOutputs{false, true, false}), chip().GetModemOutputs());
    EXPECT_EQ(Bytes(3, request), Requests());
    // The complemented image: only RTS (bit 6) low; older chips take it in
    // REG_MODEM, where the unused outputs read back high.
    if (version < 0x20) {
      EXPECT_EQ(0x0606, chip().setups.back().wValue);
      EXPECT_EQ(0xBFBF, chip().setups.back().wIndex);
      EXPECT_EQ(0x30, *chip().PeekRegister(REG_MODEM) & 0x70);
    } else {
      EXPECT_EQ(0xBF, chip().setups.back().wValue);
    }
  }
}

// The image keeps the wish even when the chip refused it; the next change
// sends the whole image again.
TEST_F(LineControlTest, ARefusedOutputStaysInTheImage) {
  PDEVICE_OBJECT port = Start(0x20);
  usb_->Faults(plugged_.usb_port).FailNextUrbs(0, 1, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(NT_SUCCESS(AsDriver([&] { return SetDtr(port, TRUE); })));
  EXPECT_EQ(kModemControlDtr, PortOf(port)->ModemControlImage);
  EXPECT_EQ((hw::ModemOutputs{false, false, false}), chip().GetModemOutputs());
  ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetRts(port, TRUE); }));
  EXPECT_EQ((hw::ModemOutputs{true, true, false}), chip().GetModemOutputs());
}

// ---------------------------------------------------------------------------
// Break

TEST_F(LineControlTest, BreakHoldsTheLineAndTheWriter) {
  for (std::uint8_t version : {0x01, 0x30}) {
    SCOPED_TRACE(version);
    PDEVICE_OBJECT port = Start(version);
    PPORT_EXTENSION ext = PortOf(port);
    const std::uint8_t aux = *chip().PeekRegister(REG_LINE_AUX);
    const std::uint8_t lcr1 = *chip().PeekRegister(REG_LCR1);
    ASSERT_EQ(STATUS_SUCCESS, SetLine(port, 8, 0, 0));
    const ULONG lcr1_shadow = ext->Lcr1Shadow;
    chip().setups.clear();

    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, TRUE); }));
    EXPECT_EQ((Bytes{VR_READ_REGS, VR_WRITE_REGS}), Requests());
    EXPECT_EQ(kBreakPair, chip().setups.back().wValue);
    EXPECT_EQ(aux & ~0x01, chip().PeekRegister(REG_LINE_AUX));
    EXPECT_EQ(lcr1 & ~0x40, chip().PeekRegister(REG_LCR1));
    EXPECT_EQ(ULONG{kTxHoldBreak}, ext->TxHolding);
    EXPECT_EQ(lcr1_shadow, ext->Lcr1Shadow);

    // Already spacing: read, nothing written.
    chip().setups.clear();
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, TRUE); }));
    EXPECT_EQ((Bytes{VR_READ_REGS}), Requests());

    chip().setups.clear();
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, FALSE); }));
    EXPECT_EQ((Bytes{VR_READ_REGS, VR_WRITE_REGS}), Requests());
    EXPECT_EQ(aux, chip().PeekRegister(REG_LINE_AUX));
    EXPECT_EQ(lcr1, chip().PeekRegister(REG_LCR1));
    EXPECT_EQ(0u, ext->TxHolding);

    // Off without on touches no register.
    chip().setups.clear();
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, FALSE); }));
    EXPECT_TRUE(chip().setups.empty());
  }
}

// The hold follows the request even when the chip cannot be asked.
TEST_F(LineControlTest, BreakFlagFollowsTheRequestNotTheOutcome) {
  PDEVICE_OBJECT port = Start(0x20);
  PPORT_EXTENSION ext = PortOf(port);
  usb_->Faults(plugged_.usb_port).AnswerShort(VR_READ_REGS, 0);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AsDriver([&] { return SetBreak(port, TRUE); }));
  EXPECT_EQ((Bytes{VR_READ_REGS}), Requests());
  EXPECT_EQ(ULONG{kTxHoldBreak}, ext->TxHolding);

  usb_->Faults(plugged_.usb_port).AnswerShort(VR_READ_REGS, 0);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AsDriver([&] { return SetBreak(port, FALSE); }));
  EXPECT_EQ(0u, ext->TxHolding);
}

// In transmit-toggle mode a break raises RTS, and its end asks the status
// thread to drop RTS once the transmitter is idle.
TEST_F(LineControlTest, BreakInTransmitToggleMode) {
  PDEVICE_OBJECT port = Start(0x30);
  PPORT_EXTENSION ext = PortOf(port);
  ext->HandFlow.FlowReplace = SERIAL_TRANSMIT_TOGGLE;
  ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, TRUE); }));
  EXPECT_EQ((hw::ModemOutputs{false, true, false}), chip().GetModemOutputs());
  ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, FALSE); }));
  EXPECT_EQ(1u, ext->ToggleRtsRequests);
}

// ---------------------------------------------------------------------------
// On the wire: a peer at the programmed rate and frame reads what the chip sends.

struct WireCase {
  const char* name;
  std::uint8_t version;
  ULONG rate;
  int data_bits;
  UCHAR parity, stop_bits;
  LineSettings peer;
};

void PrintTo(const WireCase& c, std::ostream* os) {
  *os << c.name;
}

const WireCase kWireCases[] = {
    {"gen1 9600 7E1", 0x01, 9600, 7, 2, 0, LineSettings::Of(9600, 7, Parity::kEven)},
    {"gen1 19200 5N1", 0x01, 19200, 5, 0, 0, LineSettings::Of(19200, 5)},
    {"0x20 115200 8O1", 0x20, 115200, 8, 1, 0, LineSettings::Of(115200, 8, Parity::kOdd)},
    {"0x20 1200 6S1", 0x20, 1200, 6, 4, 0, LineSettings::Of(1200, 6, Parity::kSpace)},
    {"0x25 300 8N2", 0x25, 300, 8, 0, 2, LineSettings::Of(300, 8, Parity::kNone, 4)},
    {"0x30 921600 7E1", 0x30, 921600, 7, 2, 0, LineSettings::Of(921600, 7, Parity::kEven)},
    {"0x30 3000000 8N1", 0x30, 3000000, 8, 0, 0, LineSettings::Of(3000000)},
    {"0x30 307200 6O2", 0x30, 307200, 6, 1, 2, LineSettings::Of(307200, 6, Parity::kOdd, 4)},
};

class OnTheWire : public LineControlTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(OnTheWire, PeerReadsWhatWasSent) {
  const WireCase& c = GetParam();
  PDEVICE_OBJECT port = Start(c.version);
  PPORT_EXTENSION ext = PortOf(port);
  hw::ScriptedPeer peer(chip(), c.peer);
  ext->BaudRate = c.rate;
  ASSERT_EQ(STATUS_SUCCESS, SetLine(port, c.data_bits, c.parity, c.stop_bits));
  ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return ProgramBaudRate(port); }));

  const Bytes text = {'Q', 'z', 0x00, 0x7F, 0x55, 0x2A};
  Bytes sent = text;
  if (c.version < 0x30 && ext->DataMask != 0xFF)
    FrameOutgoingBytes(ext, sent.data(), static_cast<ULONG>(sent.size()));
  SendRaw(port, sent);
  // 12 bit times per character is more than the longest frame here.
  sim::SleepFor(sim::Ticks{12} * 10'000'000 * (sent.size() + 2) / c.rate + sim::kTicksPerMs,
                "line");

  std::vector<hw::ReceivedChar> got = peer.TakeReceived();
  ASSERT_EQ(text.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(got[i].clean()) << i;
    EXPECT_EQ(text[i] & ext->DataMask, got[i].value) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Generations, OnTheWire, ::testing::ValuesIn(kWireCases),
                         CaseName<WireCase>);

// A break reaches the peer as one break, and the line carries data again
// once it ends.
TEST_F(LineControlTest, PeerSeesTheBreak) {
  for (std::uint8_t version : {0x01, 0x30}) {
    SCOPED_TRACE(version);
    PDEVICE_OBJECT port = Start(version);
    hw::ScriptedPeer peer(chip(), LineSettings::Of(9600));
    PortOf(port)->BaudRate = 9600;
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return ProgramBaudRate(port); }));
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, TRUE); }));
    sim::SleepFor(10 * sim::kTicksPerMs, "break");
    ASSERT_EQ(STATUS_SUCCESS, AsDriver([&] { return SetBreak(port, FALSE); }));
    SendRaw(port, {'k'});
    sim::SleepFor(5 * sim::kTicksPerMs, "line");
    std::vector<hw::ReceivedChar> got = peer.TakeReceived();
    ASSERT_EQ(2u, got.size());
    EXPECT_TRUE(got[0].break_detected);
    EXPECT_TRUE(got[1].clean());
    EXPECT_EQ('k', got[1].value);
  }
}

}  // namespace
}  // namespace vax::test
