// How the chip turns its rate and line-control registers into the bit rate
// and character frame of its UART.
#pragma once

#include <cstdint>

#include "hardware/line/line_types.h"
#include "hardware/qz719/qz719_protocol.h"

namespace vax::hw::qz719 {

// Base clock selected by each prescaler code. Codes 0-3 are the crystal
// divided by 512, 64, 8 and 1 as the chip rounds them; code 7 is the
// auxiliary 11.9808 MHz clock behind 307,200 and 921,600 bit/s; codes 4-6
// select no clock, so the generator stops.
constexpr std::uint32_t kPrescalerClockHz[8] = {11'719, 93'750, 750'000, 6'000'000,
                                                0,      0,      0,       11'980'800};

// The bit rate is the base clock over 256 minus the divisor byte (a divisor
// byte of 0 divides by 256).
BitRate RateFromRegisters(const GenerationTraits& traits, std::uint8_t prescaler,
                          std::uint8_t divisor);

// Generation 0x30 and later: LCR1 bits 0-1 word length 5-8, bit 2 extra stop
// (one and a half with 5 data bits, else two), bit 3 parity enable, bits 4-5
// odd, even, mark, space. Older chips: 8 data bits and one stop bit; LCR1
// bit 7 adds a ninth bit whose kind LCR2 bits 0-2 select (4 space, 5 mark,
// 6 odd, 7 even; values below 4 act as space). A receiver checks the ninth
// bit like a parity bit.
FrameFormat FrameFromRegisters(const GenerationTraits& traits, std::uint8_t lcr1,
                               std::uint8_t lcr2);

}  // namespace vax::hw::qz719
