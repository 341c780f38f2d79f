// The chip's bit clock and character-time register, derived from the port's
// BaudRate and frame. Registers are written only when their value changes.
#include "vaxport.h"

namespace {

// The chip divides one of four base clocks, chosen by a prescaler code, by an
// 8-bit divisor. A rate picks the slowest clock whose divisor still fits.
struct PrescalerRange {
  ULONG above;  // the range holds rates strictly greater than this
  UCHAR code;
  ULONG clock;  // the base constant the divisor is computed from
};
constexpr PrescalerRange kPrescalerRanges[] = {
    {23529, 3, 6000000},
    {2941, 2, 750000},
    {367, 1, 93750},
    {0, 0, 11719},
};

// Two rates the base clocks cannot reach closely enough; the chip has an
// auxiliary clock for them behind prescaler code 7.
struct FixedRate {
  ULONG rate;
  UCHAR divisor_byte;
};
constexpr UCHAR kAuxiliaryClockCode = 7;
constexpr FixedRate kFixedRates[] = {
    {307200, 0xD9},
    {921600, 0xF3},
};

constexpr ULONG kMaxBaudRate = 3000000;
constexpr ULONG kMaxDivisor = 255;
constexpr UCHAR kPrescalerNewLine = 0x80;  // set on 0x30+ chips

// One character in microseconds is F / rate, F being ten or eleven bits.
constexpr ULONG kTenBitFrame = 10000000;
constexpr ULONG kElevenBitFrame = 11000000;
constexpr ULONG kOneBit = 1000000;
constexpr ULONG kFastRate = 9600;  // from here on a fixed margin replaces the extra bit
constexpr ULONG kFastMarginUs = 110;
constexpr ULONG kCharTimeUnitUs = 256;  // the register counts 256-us units
constexpr ULONG kMaxCharTime = 254;

// 11 bits in 100-ns units, divided by the rate.
constexpr ULONG kElevenBitsTicks = 110000000;

struct RateBytes {
  UCHAR prescaler;
  UCHAR divisor;
};

// The prescaler code and divisor byte nearest to `rate`; false for a rate the
// chip cannot be set to.
bool ComputeRateBytes(ULONG rate, RateBytes* bytes) {
  for (const FixedRate& fixed : kFixedRates) {
    if (rate == fixed.rate) {
      *bytes = {kAuxiliaryClockCode, fixed.divisor_byte};
      return true;
    }
  }
  if (rate == 0 || rate > kMaxBaudRate)
    return false;
  const PrescalerRange* range = kPrescalerRanges;
  while (rate <= range->above)
    ++range;
  ULONG q = range->clock / rate;
  if (q == 0 || q >= kMaxDivisor)
    return false;
  // Of the two achievable rates around the wanted one, the nearer wins; on a
  // tie the higher one (the smaller divisor) is kept.
  const ULONG below = rate - range->clock / (q + 1);
  const ULONG above = range->clock / q - rate;
  if (above > below)
    ++q;
  *bytes = {range->code, static_cast<UCHAR>(256 - q)};
  return true;
}

// One and a half character times, in the register's 256-us units.
ULONG ComputeCharTime(ULONG rate, UCHAR data_mask, UCHAR parity, UCHAR stop_bits) {
  const bool eleven_bits = data_mask == 0xFF && (parity != 0 || stop_bits != 0);
  const ULONG frame = eleven_bits ? kElevenBitFrame : kTenBitFrame;
  const ULONG g = rate >= kFastRate ? frame / rate + kFastMarginUs : (frame + kOneBit) / rate;
  const ULONG h = (g / 2 + g + kCharTimeUnitUs - 1) / kCharTimeUnitUs;
  return h > kMaxCharTime ? kMaxCharTime : h;
}

// Changes of less than a sixteenth are not worth a request. An invalid
// shadow is far from every value, so it always forces the write.
bool CloseEnough(ULONG value, ULONG shadow) {
  const ULONG distance = value > shadow ? value - shadow : shadow - value;
  return distance <= value / 16;
}

}  // namespace

NTSTATUS ProgramBaudRate(PDEVICE_OBJECT device) {
  PPORT_EXTENSION port = PortOf(device);
  // The rate and frame are read without ControlLock: the callers that change
  // them (the rate and line-control requests, the command channel) store
  // them before calling, and a torn frame only costs one rewrite later.
  const ULONG rate = port->BaudRate;
  RateBytes bytes = {};
  if (!ComputeRateBytes(rate, &bytes))
    return STATUS_UNSUCCESSFUL;
  if (port->ChipVersion >= kChipVersionNewLine)
    bytes.prescaler |= kPrescalerNewLine;

  if (bytes.prescaler != port->PrescalerShadow || bytes.divisor != port->DivisorShadow) {
    NTSTATUS status =
        WriteRegisterPair(device, REG_PRESCALER, bytes.prescaler, REG_DIVISOR, bytes.divisor);
    if (!NT_SUCCESS(status)) {
      port->PrescalerShadow = kShadowInvalid;
      port->DivisorShadow = kShadowInvalid;
      return status;
    }
    port->PrescalerShadow = bytes.prescaler;
    port->DivisorShadow = bytes.divisor;
  }

  const ULONG char_time =
      ComputeCharTime(rate, port->DataMask, port->LineParity, port->LineStopBits);
  if (CloseEnough(char_time, port->CharTimeShadow))
    return STATUS_SUCCESS;
  NTSTATUS status = WriteRegisterPair(device, REG_CHAR_TIME, static_cast<UCHAR>(char_time),
                                      REG_CHAR_TIME_PAIR, 0);
  port->CharTimeShadow = NT_SUCCESS(status) ? char_time : kShadowInvalid;
  return status;
}

ULONG CharacterTime(PDEVICE_OBJECT device) {
  // A stored rate of 0 was refused and never reached the chip; the close path
  // then relies on its transmitter drain alone instead of dividing by zero.
  const ULONG rate = PortOf(device)->BaudRate;
  return rate == 0 ? 0 : kElevenBitsTicks / rate;
}
