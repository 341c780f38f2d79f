// What travels on a serial line and how fast: bit rates as exact fractions,
// character frames, the time base of the line, and the modem lines.
//
// Line time is kept in picoseconds rather than the platform's 100-ns ticks: a
// bit at 3 Mbit/s lasts 3.33 ticks, and a receiver that samples mid-bit must
// see the same edges the sender produced, so every edge is computed from the
// character's start with exact integer arithmetic.
#pragma once

#include <cstdint>
#include <string>

#include "sim/scheduler.h"

namespace vax::hw {

using LineTime = std::int64_t;  // picoseconds since boot
constexpr LineTime kLineNever = INT64_MAX;
constexpr LineTime kPsPerTick = 100'000;  // one 100-ns platform tick
constexpr std::int64_t kPsPerSecond = 1'000'000'000'000;

constexpr LineTime ToLineTime(sim::Ticks ticks) {
  return ticks * kPsPerTick;
}
// The first platform tick at or after `t`: a deadline rounded this way never
// wakes a thread before the line event it waits for.
constexpr sim::Ticks ToTicksCeil(LineTime t) {
  return t == kLineNever ? sim::kNoDeadline : (t + kPsPerTick - 1) / kPsPerTick;
}
inline LineTime LineNow() {
  return ToLineTime(sim::Now());
}

// A bit clock of clock_hz / divisor bits per second. A clock of 0 is a
// stopped generator: nothing is sent and nothing is sampled.
struct BitRate {
  std::uint32_t clock_hz = 0;
  std::uint32_t divisor = 1;

  static BitRate Bps(std::uint32_t rate_bps) { return {rate_bps, 1}; }
  bool running() const { return clock_hz != 0 && divisor != 0; }
  double bps() const { return running() ? double(clock_hz) / divisor : 0.0; }
  // Offset of the boundary `half_bits` half bit times after a start edge.
  LineTime HalfBits(std::int64_t half_bits) const;
  // Whole bit cells elapsed `offset` after a start edge (offset >= 0).
  std::int64_t CellAt(LineTime offset) const;
  // Exactly the same rate, compared as fractions.
  bool SameAs(const BitRate& other) const;
};

enum class Parity : std::uint8_t { kNone, kOdd, kEven, kMark, kSpace };

// One character: start bit, data bits LSB first, an optional parity (or
// ninth) bit, stop bits. Stop bits are counted in halves (2 = one, 3 = one
// and a half, 4 = two).
struct FrameFormat {
  std::uint8_t data_bits = 8;
  Parity parity = Parity::kNone;
  std::uint8_t stop_half_bits = 2;

  int CellsBeforeStop() const { return 1 + data_bits + (parity == Parity::kNone ? 0 : 1); }
  int TotalHalfBits() const { return 2 * CellsBeforeStop() + stop_half_bits; }
  std::uint8_t DataMask() const { return std::uint8_t((1u << data_bits) - 1); }
  bool operator==(const FrameFormat&) const = default;
};

struct LineSettings {
  BitRate rate;
  FrameFormat frame;

  bool SameAs(const LineSettings& o) const { return rate.SameAs(o.rate) && frame == o.frame; }
  // "19200 8N1"-style constructor for peers and tests.
  static LineSettings Of(std::uint32_t rate_bps, std::uint8_t data_bits = 8,
                         Parity parity = Parity::kNone, std::uint8_t stop_half_bits = 2);
  std::string Describe() const;
};

// Levels of the cells before the stop bits: bit i is cell i (cell 0 is the
// start bit, always 0 = space; 1 = mark).
std::uint16_t EncodeCells(std::uint8_t value, const FrameFormat& frame);
// The parity bit the frame's parity mode gives for `data` (masked to the
// frame's data bits).
bool ParityBit(std::uint8_t data, const FrameFormat& frame);

// One character as a receiver saw it.
struct ReceivedChar {
  std::uint8_t value = 0;  // the data bits sampled (0 for a break)
  bool parity_error = false;
  bool framing_error = false;   // stop bit sampled as space
  bool break_detected = false;  // space for the whole frame, stop bit included
  LineTime time = 0;            // when the stop bit was sampled

  bool clean() const { return !parity_error && !framing_error && !break_detected; }
};

// Modem-control outputs of a terminal end (true = asserted).
struct ModemOutputs {
  bool dtr = false;
  bool rts = false;
  bool out3 = false;  // the chip's third output; no standard pin
  bool operator==(const ModemOutputs&) const = default;
};

// Modem-status inputs of a terminal end (true = asserted).
struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool dcd = false;
  bool operator==(const ModemInputs&) const = default;
};

}  // namespace vax::hw
