// The two halves of a UART as they meet a Wire.
//
// UartTransmitter owns a transmit FIFO and puts its characters on the wire
// back to back at its rate. Characters are scheduled as soon as they are
// queued, with their computed start times, so a full-speed stream costs one
// call per USB packet rather than one wake-up per bit; anything that must
// stop the stream (flow control, a break, a new rate, a flush) takes back
// the characters that have not started yet.
//
// UartReceiver hunts for start bits on a wire and samples each character at
// its own rate and frame, mid-bit, as a real receiver does: a sender at
// another rate, word length, parity or stop-bit count yields the data,
// parity, framing and break results that sampling gives. When a character was
// sent with exactly the receiver's settings and nothing disturbed it, its
// value is passed through without sampling (the fast path).
//
// Neither class locks: its owner serialises calls. The wire locks itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "hardware/line/line_types.h"
#include "hardware/line/wire.h"

namespace vax::hw {

class UartTransmitter {
 public:
  static constexpr std::size_t kUnlimited = SIZE_MAX;

  UartTransmitter(Wire* wire, std::size_t fifo_capacity) : wire_(wire), capacity_(fifo_capacity) {}

  // Characters queued that have not started (the FIFO level); the one being
  // shifted out no longer counts.
  std::size_t Queued(LineTime now);
  std::size_t Room(LineTime now) { return capacity_ - Queued(now); }
  // Something is left to send: queued characters or one still on the line.
  bool Busy(LineTime now);
  // When Busy() turns false if nothing changes; kLineNever while characters
  // wait behind a hold, a break or a stopped clock.
  LineTime IdleAt(LineTime now);
  // When Room() reaches `want` if nothing changes (now if it already has).
  LineTime RoomAt(std::size_t want, LineTime now);

  // Queues characters; the caller has checked Room().
  void Push(std::span<const std::uint8_t> bytes, LineTime now);
  // Queues a break of `duration` behind the queued characters (a peer's
  // scripted break; the chip's own break is SetBreak).
  void PushBreak(LineTime duration, LineTime now);
  void Configure(const LineSettings& settings, LineTime now);
  // Flow control: no character starts while held; the one on the line ends.
  void SetHold(bool hold, LineTime now);
  // Break: the line goes to space at once (cutting a character short) and
  // stays there; after release one idle bit precedes the next character.
  void SetBreak(bool on, LineTime now);
  // Discards every queued character that has not started.
  void Flush(LineTime now);

  const LineSettings& settings() const { return settings_; }
  bool held() const { return hold_; }
  bool breaking() const { return break_; }

 private:
  struct Slot {
    LineTime start;
    LineTime end;
  };
  struct Item {
    std::uint8_t value = 0;
    LineTime break_length = 0;  // non-zero: a timed break instead of a character
  };
  void Prune(LineTime now);
  void TakeBackFuture(LineTime now);
  void Schedule(LineTime now);

  Wire* wire_;
  std::size_t capacity_;
  LineSettings settings_;
  bool hold_ = false;
  bool break_ = false;
  LineTime resume_at_ = 0;  // no character starts before this
  // Back-to-back characters are timed from the start of their run, so that
  // rounding to picoseconds never accumulates along a stream.
  LineTime run_start_ = kLineNever;
  LineTime run_end_ = kLineNever;
  std::int64_t run_half_bits_ = 0;
  std::deque<Item> waiting_;    // queued, not on the wire (held or stopped)
  std::deque<Slot> scheduled_;  // our characters on the wire that have not ended
};

class UartReceiver {
 public:
  // A change of settings restarts the hunt for a start bit at `now`.
  void Configure(const LineSettings& settings, LineTime now);
  void Restart(LineTime now);
  // Decodes every character whose stop bit is sampled at or before `horizon`.
  void Decode(Wire& wire, LineTime horizon, std::vector<ReceivedChar>* out);
  // When the `n`-th next character (from 1) will have been sampled, counting
  // one character per symbol now on the wire; kLineNever when the wire holds
  // fewer. With `stop_at_irregular`, the first symbol that will not pass the
  // fast path ends the count and its earliest sampling time is returned: that
  // is where an error may be found.
  LineTime Forecast(Wire& wire, std::size_t n, bool stop_at_irregular);

  const LineSettings& settings() const { return settings_; }

 private:
  bool FastPath(const Symbol& s, LineTime start) const;

  LineSettings settings_;
  LineTime ready_ = 0;       // the hunt for the next start bit begins here
  bool await_mark_ = false;  // after a break: wait for the line to return to mark
};

}  // namespace vax::hw
