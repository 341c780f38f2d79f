#include "hardware/qz719/line_registers.h"

namespace vax::hw::qz719 {

BitRate RateFromRegisters(const GenerationTraits& traits, std::uint8_t prescaler,
                          std::uint8_t divisor) {
  if (traits.prescaler_enable_bit && !(prescaler & kPrescalerEnable))
    return {0, 1};
  BitRate rate;
  rate.clock_hz = kPrescalerClockHz[prescaler & kPrescalerCodeMask];
  rate.divisor = 256u - divisor;
  return rate;
}

FrameFormat FrameFromRegisters(const GenerationTraits& traits, std::uint8_t lcr1,
                               std::uint8_t lcr2) {
  FrameFormat frame;
  if (traits.new_line_control) {
    frame.data_bits = std::uint8_t(5 + (lcr1 & 0x03));
    if (lcr1 & 0x04)
      frame.stop_half_bits = frame.data_bits == 5 ? 3 : 4;
    if (lcr1 & 0x08) {
      static constexpr Parity kKinds[4] = {Parity::kOdd, Parity::kEven, Parity::kMark,
                                           Parity::kSpace};
      frame.parity = kKinds[(lcr1 >> 4) & 0x03];
    }
    return frame;
  }
  if (lcr1 & kLcr1NinthBit) {
    switch (lcr2 & 0x07) {
      case 5:
        frame.parity = Parity::kMark;
        break;
      case 6:
        frame.parity = Parity::kOdd;
        break;
      case 7:
        frame.parity = Parity::kEven;
        break;
      default:
        frame.parity = Parity::kSpace;
        break;
    }
  }
  return frame;
}

}  // namespace vax::hw::qz719
