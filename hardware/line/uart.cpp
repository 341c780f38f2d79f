#include "hardware/line/uart.h"

#include <algorithm>
#include <mutex>

namespace vax::hw {

// --- transmitter -----------------------------------------------------------

void UartTransmitter::Prune(LineTime now) {
  while (!scheduled_.empty() && scheduled_.front().end <= now)
    scheduled_.pop_front();
}

std::size_t UartTransmitter::Queued(LineTime now) {
  Prune(now);
  std::size_t on_line = (!scheduled_.empty() && scheduled_.front().start <= now) ? 1 : 0;
  return waiting_.size() + scheduled_.size() - on_line;
}

bool UartTransmitter::Busy(LineTime now) {
  Prune(now);
  return !waiting_.empty() || !scheduled_.empty();
}

LineTime UartTransmitter::IdleAt(LineTime now) {
  Prune(now);
  if (!waiting_.empty())
    return kLineNever;
  return scheduled_.empty() ? now : scheduled_.back().end;
}

LineTime UartTransmitter::RoomAt(std::size_t want, LineTime now) {
  std::size_t room = Room(now);
  if (room >= want)
    return now;
  if (!waiting_.empty())
    return kLineNever;
  // Each scheduled character leaves the FIFO when it starts.
  std::size_t first_queued = (!scheduled_.empty() && scheduled_.front().start <= now) ? 1 : 0;
  std::size_t index = first_queued + (want - room) - 1;
  return index < scheduled_.size() ? scheduled_[index].start : kLineNever;
}

void UartTransmitter::Push(std::span<const std::uint8_t> bytes, LineTime now) {
  for (std::uint8_t b : bytes)
    waiting_.push_back({b, 0});
  Schedule(now);
}

void UartTransmitter::PushBreak(LineTime duration, LineTime now) {
  waiting_.push_back({0, std::max<LineTime>(duration, 1)});
  Schedule(now);
}

void UartTransmitter::Configure(const LineSettings& settings, LineTime now) {
  if (settings.SameAs(settings_)) {
    settings_ = settings;
    return;
  }
  // The character on the line finishes at the old rate; the rest follow at
  // the new one.
  TakeBackFuture(now);
  settings_ = settings;
  Schedule(now);
}

void UartTransmitter::SetHold(bool hold, LineTime now) {
  if (hold == hold_)
    return;
  hold_ = hold;
  if (hold) {
    TakeBackFuture(now);
  } else {
    Schedule(now);
  }
}

void UartTransmitter::SetBreak(bool on, LineTime now) {
  if (on == break_)
    return;
  break_ = on;
  if (on) {
    TakeBackFuture(now);
    Prune(now);
    wire_->CutAt(now);
    if (!scheduled_.empty())
      scheduled_.back().end = std::min(scheduled_.back().end, now);
    Symbol brk;
    brk.start = now;
    brk.end = kLineNever;
    brk.settings = settings_;
    brk.is_break = true;
    wire_->Append(brk);
  } else {
    wire_->EndBreak(now);
    // One bit of mark so that the next start bit is an edge a receiver sees.
    resume_at_ = settings_.rate.running() ? now + settings_.rate.HalfBits(2) : now;
    Schedule(now);
  }
}

void UartTransmitter::Flush(LineTime now) {
  TakeBackFuture(now);
  waiting_.clear();
}

void UartTransmitter::TakeBackFuture(LineTime now) {
  std::vector<Symbol> taken;
  wire_->RetractAfter(now, &taken);
  std::deque<Item> back;
  for (const Symbol& s : taken) {
    // A held break starts now and is never taken back; a timed one has an end.
    back.push_back(s.is_break ? Item{0, s.end - s.start} : Item{s.value, 0});
  }
  waiting_.insert(waiting_.begin(), back.begin(), back.end());
  while (!scheduled_.empty() && scheduled_.back().start > now)
    scheduled_.pop_back();
}

void UartTransmitter::Schedule(LineTime now) {
  if (hold_ || break_ || !settings_.rate.running() || waiting_.empty())
    return;
  Prune(now);
  LineTime t = std::max(now, resume_at_);
  if (!scheduled_.empty())
    t = std::max(t, scheduled_.back().end);
  const int frame_half_bits = settings_.frame.TotalHalfBits();
  for (const Item& item : waiting_) {
    Symbol s;
    s.start = t;
    s.settings = settings_;
    if (item.break_length != 0) {
      s.end = t + item.break_length;
      s.is_break = true;
      run_start_ = kLineNever;
      // One bit of mark after a break so that the next start bit is an edge.
      resume_at_ = s.end + settings_.rate.HalfBits(2);
    } else {
      if (run_start_ == kLineNever || t != run_end_) {
        run_start_ = t;
        run_half_bits_ = 0;
      }
      run_half_bits_ += frame_half_bits;
      s.end = run_end_ = run_start_ + settings_.rate.HalfBits(run_half_bits_);
      s.cells = EncodeCells(item.value, settings_.frame);
      s.value = item.value;
    }
    wire_->Append(s);
    scheduled_.push_back({s.start, s.end});
    t = s.is_break ? resume_at_ : s.end;
  }
  waiting_.clear();
}

// --- receiver --------------------------------------------------------------

void UartReceiver::Configure(const LineSettings& settings, LineTime now) {
  if (settings.SameAs(settings_))
    return;
  settings_ = settings;
  Restart(now);
}

void UartReceiver::Restart(LineTime now) {
  ready_ = now;
  await_mark_ = false;
}

bool UartReceiver::FastPath(const Symbol& s, LineTime start) const {
  return start == s.start && !s.is_break && !s.cut && s.settings.SameAs(settings_);
}

void UartReceiver::Decode(Wire& wire, LineTime horizon, std::vector<ReceivedChar>* out) {
  std::lock_guard lock(wire.mutex());
  if (!settings_.rate.running()) {
    // A stopped clock samples nothing; the line goes by unseen.
    ready_ = std::max(ready_, horizon);
    await_mark_ = false;
    wire.DropEndedBy(ready_);
    return;
  }
  const FrameFormat& frame = settings_.frame;
  const BitRate& rate = settings_.rate;
  const int before_stop = frame.CellsBeforeStop();
  const LineTime stop_sample = rate.HalfBits(2 * before_stop + 1);  // middle of the stop bit
  for (;;) {
    if (await_mark_) {
      LineTime mark = wire.NextLevel(ready_, horizon, 1);
      if (mark == kLineNever)
        break;
      ready_ = mark;
      await_mark_ = false;
    }
    LineTime t0 = wire.NextLevel(ready_, horizon, 0);
    if (t0 == kLineNever)
      break;
    LineTime done = t0 + stop_sample;
    std::size_t index = wire.IndexFrom(t0);
    if (index < wire.symbols().size() && FastPath(wire.symbols()[index], t0)) {
      if (done > horizon)
        break;
      ReceivedChar c;
      c.value = std::uint8_t(wire.symbols()[index].value & frame.DataMask());
      c.time = done;
      out->push_back(c);
      ready_ = done;
      continue;
    }
    LineTime middle = t0 + rate.HalfBits(1);
    if (middle > horizon)
      break;
    if (wire.LevelAt(middle) == 1) {  // too short for a start bit
      ready_ = middle;
      continue;
    }
    if (done > horizon)
      break;
    ReceivedChar c;
    c.time = done;
    for (int i = 0; i < frame.data_bits; ++i) {
      c.value |= std::uint8_t(wire.LevelAt(t0 + rate.HalfBits(2 * (1 + i) + 1)) << i);
    }
    bool parity_bit = false;
    if (frame.parity != Parity::kNone) {
      parity_bit = wire.LevelAt(t0 + rate.HalfBits(2 * (1 + frame.data_bits) + 1)) == 1;
    }
    bool stop = wire.LevelAt(done) == 1;
    if (!stop && c.value == 0 && !parity_bit) {
      // Space from the start bit through the stop bit: a break, not a character.
      c.break_detected = true;
      await_mark_ = true;
    } else {
      c.framing_error = !stop;
      c.parity_error = frame.parity != Parity::kNone && parity_bit != ParityBit(c.value, frame);
    }
    out->push_back(c);
    ready_ = done;
  }
  wire.DropEndedBy(ready_);
}

LineTime UartReceiver::Forecast(Wire& wire, std::size_t n, bool stop_at_irregular) {
  std::lock_guard lock(wire.mutex());
  if (!settings_.rate.running() || n == 0)
    return kLineNever;
  const LineTime stop_sample = settings_.rate.HalfBits(2 * settings_.frame.CellsBeforeStop() + 1);
  LineTime from = ready_;
  if (await_mark_) {
    from = wire.NextLevel(from, kLineNever, 1);
    if (from == kLineNever)
      return kLineNever;
  }
  LineTime t0 = wire.NextLevel(from, kLineNever, 0);
  if (t0 == kLineNever)
    return kLineNever;
  const auto& symbols = wire.symbols();
  std::size_t count = 0;
  for (std::size_t i = wire.IndexFrom(t0); i < symbols.size(); ++i) {
    const Symbol& s = symbols[i];
    if (s.end <= s.start)
      continue;
    LineTime start = std::max(s.start, t0);
    if (stop_at_irregular && !FastPath(s, start))
      return start + stop_sample;
    if (++count == n)
      return start + stop_sample;
  }
  return kLineNever;
}

}  // namespace vax::hw
