// One direction of a serial line (a TXD wire) as a timeline of what its
// transmitter put on it: characters, each with the sender's own rate and
// frame, and breaks. The level at any moment follows from that timeline, so a
// receiver can sample the wire at its own rate without anyone producing
// individual bit events.
//
// A wire has exactly one transmitter and at most one receiver. Symbols are
// ordered by start time and never overlap: a break that begins while a
// character is on the line cuts that character short. The transmitter may
// schedule symbols ahead of the current time and take back those that have
// not started yet (flow control, a break, a new rate); the receiver only ever
// samples up to the current time, so it never sees a symbol that is taken back.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "hardware/line/line_types.h"
#include "sim/scheduler.h"

namespace vax::hw {

struct Symbol {
  LineTime start = 0;
  LineTime end = 0;         // the line is mark from here on; kLineNever for a break still held
  LineSettings settings;    // the sender's rate and frame (characters)
  std::uint16_t cells = 0;  // EncodeCells(value, settings.frame)
  std::uint8_t value = 0;
  bool is_break = false;
  bool cut = false;  // a break began before this character's stop bits ended

  // 1 = mark, 0 = space.
  int Level(LineTime t) const;
  // First moment at or after `from` (within the symbol) at the given level, or
  // kLineNever when the symbol holds no such level after `from`.
  LineTime NextLevelWithin(LineTime from, int level) const;
  // Full length of a character of this symbol's settings (uncut).
  LineTime FullEnd() const {
    return start + settings.rate.HalfBits(settings.frame.TotalHalfBits());
  }
};

// The receiving side's doorbell: rung, outside every lock, when a wire it
// listens to gained symbols after the listener asked for it.
class WireListener {
 public:
  virtual void OnWireActivity() = 0;

 protected:
  ~WireListener() = default;
};

class Wire {
 public:
  // Transmitter side. Each takes the wire's lock itself.
  void Append(const Symbol& symbol);
  // Takes back every symbol that starts after `t`, oldest first.
  void RetractAfter(LineTime t, std::vector<Symbol>* taken);
  // A break begins at `t`: the symbol on the line then ends at `t`.
  void CutAt(LineTime t);
  // Releases a held break at `t`.
  void EndBreak(LineTime t);
  // Rings the listener if it asked to hear about new symbols and some came.
  // Call with no lock held (the listener may wake a sim thread).
  void KickReceiver();

  // Receiver side.
  void Attach(WireListener* listener);  // nullptr detaches

  // Queries and housekeeping for the receiver: call between lock() and
  // unlock() of mutex().
  sim::Mutex& mutex() { return mu_; }
  int LevelAt(LineTime t) const;
  // First time in [from, until] at `level`, or kLineNever. Beyond the last
  // symbol the line idles at mark.
  LineTime NextLevel(LineTime from, LineTime until, int level) const;
  // Index of the symbol covering `t` or, when none does, of the first one
  // after it (== size() when there is none).
  std::size_t IndexFrom(LineTime t) const;
  const std::deque<Symbol>& symbols() const { return symbols_; }
  // Forgets symbols that ended at or before `t`.
  void DropEndedBy(LineTime t);
  // The next Append rings the listener.
  void ArmKick() { kick_armed_ = true; }

 private:
  // Past this many unread symbols the listener is rung even unasked, so that
  // a receiver nobody polls still trims the wire.
  static constexpr std::size_t kBacklogKick = 4096;

  sim::Mutex mu_;
  std::deque<Symbol> symbols_;        // guarded by mu_
  WireListener* listener_ = nullptr;  // guarded by mu_
  bool kick_armed_ = false;           // guarded by mu_
  bool kick_due_ = false;             // guarded by mu_
};

}  // namespace vax::hw
