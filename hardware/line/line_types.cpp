#include "hardware/line/line_types.h"

#include <bit>
#include <cstdio>

namespace vax::hw {

LineTime BitRate::HalfBits(std::int64_t half_bits) const {
  // 128-bit intermediate: half_bits * divisor * 10^12 overflows 64 bits for
  // long breaks at slow rates.
  __int128 num = __int128(half_bits) * divisor * kPsPerSecond;
  return LineTime(num / (__int128(2) * clock_hz));
}

std::int64_t BitRate::CellAt(LineTime offset) const {
  std::int64_t cell =
      std::int64_t(__int128(offset) * clock_hz / (__int128(divisor) * kPsPerSecond));
  // HalfBits rounds boundaries down, so the boundary of `cell + 1` may lie a
  // picosecond earlier than the exact quotient says: defer to the boundaries.
  while (HalfBits(2 * (cell + 1)) <= offset)
    ++cell;
  while (cell > 0 && HalfBits(2 * cell) > offset)
    --cell;
  return cell;
}

bool BitRate::SameAs(const BitRate& other) const {
  if (!running() || !other.running())
    return running() == other.running();
  return std::uint64_t(clock_hz) * other.divisor == std::uint64_t(other.clock_hz) * divisor;
}

LineSettings LineSettings::Of(std::uint32_t rate_bps, std::uint8_t data_bits, Parity parity,
                              std::uint8_t stop_half_bits) {
  return {BitRate::Bps(rate_bps), FrameFormat{data_bits, parity, stop_half_bits}};
}

std::string LineSettings::Describe() const {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  char text[64];
  std::snprintf(text, sizeof text, "%.2f bit/s %d%c%s", rate.bps(), frame.data_bits,
                kParity[int(frame.parity)],
                frame.stop_half_bits == 2   ? "1"
                : frame.stop_half_bits == 3 ? "1.5"
                                            : "2");
  return text;
}

bool ParityBit(std::uint8_t data, const FrameFormat& frame) {
  bool odd_ones = std::popcount(unsigned(data & frame.DataMask())) & 1;
  switch (frame.parity) {
    case Parity::kOdd:
      return !odd_ones;
    case Parity::kEven:
      return odd_ones;
    case Parity::kMark:
      return true;
    case Parity::kSpace:
    case Parity::kNone:
      return false;
  }
  return false;
}

std::uint16_t EncodeCells(std::uint8_t value, const FrameFormat& frame) {
  std::uint16_t cells = std::uint16_t((value & frame.DataMask()) << 1);  // cell 0: start = 0
  if (frame.parity != Parity::kNone && ParityBit(value, frame)) {
    cells |= std::uint16_t(1u << (1 + frame.data_bits));
  }
  return cells;
}

}  // namespace vax::hw
