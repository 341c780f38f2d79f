// The chip's line-control registers, the software framing older chips need
// for frames they cannot produce, the DTR and RTS outputs, and break.
//
// Settings are copied under ControlLock; the register sequences then run
// with no lock held, at PASSIVE_LEVEL.
#include "vaxport.h"

namespace {

// Line settings as the driver stores them.
enum LineParityValue : UCHAR { kParityNone, kParityOdd, kParityEven, kParityMark, kParitySpace };
constexpr UCHAR kEightDataBits = 0xFF;

// 0x30+ chips: a conventional line-control register.
constexpr UCHAR kNewLcr1Kept = 0xC0;  // bit 6 break control and bit 7 are not ours
constexpr UCHAR kNewLcr1ExtraStop = 0x04;
constexpr UCHAR kNewLcr1ParityOn = 0x08;
constexpr UCHAR kNewLcr1ParityShift = 4;

// Older chips: 8-bit characters plus an optional ninth bit of a chosen kind.
constexpr UCHAR kOldLcr1Kept = 0x50;  // bits 4 and 6 are not ours
constexpr UCHAR kOldLcr1NinthBit = 0x80;
constexpr UCHAR kOldLcr2Kept = 0xF8;
constexpr UCHAR kNinthSpace = 4;
constexpr UCHAR kNinthMark = 5;
constexpr UCHAR kNinthOdd = 6;
constexpr UCHAR kNinthEven = 7;

// The ninth bit an 8-bit frame needs, by LineParity; none parity uses a mark
// ninth bit only to stretch the stop time.
constexpr UCHAR kNinthBitForParity[] = {kNinthMark, kNinthOdd, kNinthEven, kNinthMark, kNinthSpace};

// Break: REG_LINE_AUX bit 0 and REG_LCR1 bit 6 both read 1 while the line is
// normal; clearing them holds the line at space.
constexpr UCHAR kLineAuxNoBreak = 0x01;
constexpr UCHAR kLcr1NoBreak = 0x40;

constexpr UCHAR kRtsControlMask = SERIAL_RTS_MASK;

struct LineFrame {
  UCHAR parity;
  UCHAR data_mask;
  UCHAR stop_bits;
};

LineFrame SnapshotLineFrame(PPORT_EXTENSION port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  const LineFrame settings = {port->LineParity, port->DataMask, port->LineStopBits};
  KeReleaseSpinLock(&port->ControlLock, irql);
  return settings;
}

UCHAR WordLengthCode(UCHAR data_mask) {
  switch (data_mask) {
    case 0x1F:
      return 0;
    case 0x3F:
      return 1;
    case 0x7F:
      return 2;
    default:
      return 3;
  }
}

void EncodeNewLayout(const LineFrame& line, UCHAR lcr1_shadow, UCHAR* lcr1, UCHAR* lcr2) {
  UCHAR value = static_cast<UCHAR>(lcr1_shadow & kNewLcr1Kept);
  value |= WordLengthCode(line.data_mask);
  if (line.stop_bits != 0)
    value |= kNewLcr1ExtraStop;
  if (line.parity != kParityNone && line.parity <= kParitySpace)
    value |= static_cast<UCHAR>(kNewLcr1ParityOn | ((line.parity - 1) << kNewLcr1ParityShift));
  *lcr1 = value;
  *lcr2 = 0;
}

// Only 8-bit frames use the ninth bit: with parity, or with a mark bit as the
// second stop bit. Shorter words are framed in software instead.
void EncodeOldLayout(const LineFrame& line, UCHAR lcr1_shadow, UCHAR lcr2_shadow, UCHAR* lcr1,
                     UCHAR* lcr2) {
  *lcr1 = static_cast<UCHAR>(lcr1_shadow & kOldLcr1Kept);
  *lcr2 = static_cast<UCHAR>(lcr2_shadow & kOldLcr2Kept);
  const bool parity = line.parity != kParityNone && line.parity <= kParitySpace;
  const bool extra_stop = line.stop_bits != 0;
  UCHAR ninth = 0;
  if (line.data_mask == kEightDataBits && (parity || extra_stop))
    ninth = parity ? kNinthBitForParity[line.parity] : kNinthMark;
  else if (line.data_mask == 0x7F && parity && extra_stop)
    ninth = kNinthMark;  // the software parity sits in bit 7; the mark bit stretches the stop
  if (ninth == 0)
    return;
  *lcr1 |= kOldLcr1NinthBit;
  *lcr2 |= ninth;
}

// Entry n is 1 when n has an odd number of one bits.
constexpr UCHAR kOddBits[128] = {
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1};

NTSTATUS SetModemOutput(PDEVICE_OBJECT device, UCHAR bit, BOOLEAN on) {
  PPORT_EXTENSION port = PortOf(device);
  const UCHAR before = port->ModemControlImage;
  const UCHAR after = static_cast<UCHAR>(on ? before | bit : before & ~bit);
  port->ModemControlImage = after;
  if (after == before)
    return STATUS_SUCCESS;
  // The whole image goes out, so the last writer's image wins; it is not
  // rolled back on failure, the next change sends it again.
  return WriteModemControl(device, static_cast<UCHAR>(~after));
}

bool TransmitToggle(PPORT_EXTENSION port) {
  return (port->HandFlow.FlowReplace & kRtsControlMask) == SERIAL_TRANSMIT_TOGGLE;
}

// Sets or clears the two break bits, reading them first so that a request is
// spent only when one of them differs. The LCR1 shadow is left alone: it
// describes the frame, which a break does not change.
NTSTATUS DriveBreakBits(PDEVICE_OBJECT device, bool on) {
  UCHAR line_aux = 0, lcr1 = 0;
  NTSTATUS status = ReadRegisterPair(device, REG_LINE_AUX, &line_aux, REG_LCR1, &lcr1);
  if (!NT_SUCCESS(status))
    return status;
  const bool normal = (line_aux & kLineAuxNoBreak) != 0 && (lcr1 & kLcr1NoBreak) != 0;
  const bool spacing = (line_aux & kLineAuxNoBreak) == 0 && (lcr1 & kLcr1NoBreak) == 0;
  if (on ? spacing : normal)
    return status;
  if (on) {
    line_aux = static_cast<UCHAR>(line_aux & ~kLineAuxNoBreak);
    lcr1 = static_cast<UCHAR>(lcr1 & ~kLcr1NoBreak);
  } else {
    line_aux |= kLineAuxNoBreak;
    lcr1 |= kLcr1NoBreak;
  }
  return WriteRegisterPair(device, REG_LINE_AUX, line_aux, REG_LCR1, lcr1);
}

}  // namespace

NTSTATUS ProgramLineControl(PDEVICE_OBJECT device) {
  PPORT_EXTENSION port = PortOf(device);
  const LineFrame line = SnapshotLineFrame(port);

  if (port->Lcr1Shadow > 0xFF || port->Lcr2Shadow > 0xFF) {
    UCHAR lcr1 = 0, lcr2 = 0;
    NTSTATUS status = ReadRegisterPair(device, REG_LCR1, &lcr1, REG_LCR2, &lcr2);
    if (!NT_SUCCESS(status)) {
      port->Lcr1Shadow = kShadowInvalid;
      port->Lcr2Shadow = kShadowInvalid;
      return status;
    }
    port->Lcr1Shadow = lcr1;
    port->Lcr2Shadow = lcr2;
  }

  UCHAR lcr1 = 0, lcr2 = 0;
  if (port->ChipVersion >= kChipVersionNewLine) {
    EncodeNewLayout(line, static_cast<UCHAR>(port->Lcr1Shadow), &lcr1, &lcr2);
  } else {
    EncodeOldLayout(line, static_cast<UCHAR>(port->Lcr1Shadow),
                    static_cast<UCHAR>(port->Lcr2Shadow), &lcr1, &lcr2);
  }
  if (lcr1 == port->Lcr1Shadow && lcr2 == port->Lcr2Shadow)
    return STATUS_SUCCESS;

  NTSTATUS status = WriteRegisterPair(device, REG_LCR1, lcr1, REG_LCR2, lcr2);
  port->Lcr1Shadow = NT_SUCCESS(status) ? lcr1 : kShadowInvalid;
  port->Lcr2Shadow = NT_SUCCESS(status) ? lcr2 : kShadowInvalid;
  return status;
}

void FrameOutgoingBytes(PPORT_EXTENSION port, PUCHAR buffer, ULONG length) {
  const UCHAR mask = port->DataMask;
  const UCHAR fill = static_cast<UCHAR>(~mask);
  const UCHAR fill0 = static_cast<UCHAR>(fill << 1);  // the parity position cleared
  const UCHAR parity = port->LineParity;
  for (ULONG i = 0; i < length; ++i) {
    const UCHAR d = static_cast<UCHAR>(buffer[i] & mask);
    const bool odd = kOddBits[d & 0x7F] != 0;
    UCHAR x = fill;
    if (parity == kParityOdd)
      x = odd ? fill0 : fill;
    else if (parity == kParityEven)
      x = odd ? fill : fill0;
    else if (parity == kParitySpace)
      x = fill0;
    buffer[i] = static_cast<UCHAR>(d | x);
  }
}

NTSTATUS SetDtr(PDEVICE_OBJECT device, BOOLEAN on) {
  return SetModemOutput(device, kModemControlDtr, on);
}

NTSTATUS SetRts(PDEVICE_OBJECT device, BOOLEAN on) {
  // Any explicit RTS change supersedes a pending transmit-toggle drop.
  PortOf(device)->ToggleRtsRequests = 0;
  return SetModemOutput(device, kModemControlRts, on);
}

void RequestToggleCheck(PPORT_EXTENSION port) {
  ++port->ToggleRtsRequests;
  KeSetEvent(&port->StatusWakeEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS SetBreak(PDEVICE_OBJECT device, BOOLEAN on) {
  PPORT_EXTENSION port = PortOf(device);
  if (on) {
    if (TransmitToggle(port))
      SetRts(device, TRUE);
    NTSTATUS status = DriveBreakBits(device, true);
    // The writer holds off for the break even when the chip refused it: the
    // flag follows the request, and break-off clears it again.
    port->TxHolding |= kTxHoldBreak;
    return status;
  }

  NTSTATUS status = STATUS_SUCCESS;
  if ((port->TxHolding & kTxHoldBreak) != 0) {
    status = DriveBreakBits(device, false);
    port->TxHolding &= ~static_cast<ULONG>(kTxHoldBreak);
  }
  if (port->TxHolding == 0 && port->CurrentWriteIrp != nullptr)
    KeSetEvent(&port->WriterWakeEvent, IO_NO_INCREMENT, FALSE);
  else if (TransmitToggle(port))
    RequestToggleCheck(port);
  return status;
}
