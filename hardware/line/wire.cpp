#include "hardware/line/wire.h"

#include <algorithm>
#include <mutex>

namespace vax::hw {

int Symbol::Level(LineTime t) const {
  if (t < start || t >= end)
    return 1;
  if (is_break)
    return 0;
  std::int64_t cell = settings.rate.CellAt(t - start);
  if (cell >= settings.frame.CellsBeforeStop())
    return 1;  // stop bits
  return (cells >> cell) & 1;
}

LineTime Symbol::NextLevelWithin(LineTime from, int level) const {
  from = std::max(from, start);
  if (from >= end)
    return kLineNever;
  if (is_break)
    return level == 0 ? from : (end == kLineNever ? kLineNever : end);
  int before_stop = settings.frame.CellsBeforeStop();
  for (std::int64_t cell = settings.rate.CellAt(from - start); cell < before_stop; ++cell) {
    if (((cells >> cell) & 1) == level) {
      LineTime t = std::max(from, start + settings.rate.HalfBits(2 * cell));
      return t < end ? t : kLineNever;
    }
  }
  if (level == 0)
    return kLineNever;  // only stop bits remain
  LineTime stop = std::max(from, start + settings.rate.HalfBits(2 * before_stop));
  return stop < end ? stop : end;
}

void Wire::Append(const Symbol& symbol) {
  std::lock_guard lock(mu_);
  if (listener_ == nullptr) {
    // Nobody samples this wire: keep only what may still be on the line.
    while (!symbols_.empty() && symbols_.front().end <= symbol.start)
      symbols_.pop_front();
  }
  symbols_.push_back(symbol);
  if (kick_armed_ || symbols_.size() >= kBacklogKick) {
    kick_armed_ = false;
    kick_due_ = true;
  }
}

void Wire::RetractAfter(LineTime t, std::vector<Symbol>* taken) {
  std::lock_guard lock(mu_);
  std::size_t keep = symbols_.size();
  while (keep > 0 && symbols_[keep - 1].start > t)
    --keep;
  taken->insert(taken->end(), symbols_.begin() + std::ptrdiff_t(keep), symbols_.end());
  symbols_.erase(symbols_.begin() + std::ptrdiff_t(keep), symbols_.end());
}

void Wire::CutAt(LineTime t) {
  std::lock_guard lock(mu_);
  if (!symbols_.empty() && symbols_.back().end > t) {
    symbols_.back().end = std::max(t, symbols_.back().start);
    symbols_.back().cut = true;
  }
}

void Wire::EndBreak(LineTime t) {
  std::lock_guard lock(mu_);
  if (!symbols_.empty() && symbols_.back().is_break && symbols_.back().end > t) {
    symbols_.back().end = t;
  }
}

void Wire::KickReceiver() {
  WireListener* listener = nullptr;
  {
    std::lock_guard lock(mu_);
    if (!kick_due_)
      return;
    kick_due_ = false;
    listener = listener_;
  }
  if (listener != nullptr)
    listener->OnWireActivity();
}

void Wire::Attach(WireListener* listener) {
  std::lock_guard lock(mu_);
  listener_ = listener;
  kick_armed_ = false;
  kick_due_ = false;
}

std::size_t Wire::IndexFrom(LineTime t) const {
  // The last symbol starting at or before t covers it if it has not ended.
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), t,
                             [](LineTime v, const Symbol& s) { return v < s.start; });
  std::size_t index = std::size_t(it - symbols_.begin());
  if (index > 0 && symbols_[index - 1].end > t)
    return index - 1;
  return index;
}

int Wire::LevelAt(LineTime t) const {
  std::size_t i = IndexFrom(t);
  return i < symbols_.size() ? symbols_[i].Level(t) : 1;
}

LineTime Wire::NextLevel(LineTime from, LineTime until, int level) const {
  LineTime t = from;
  for (std::size_t i = IndexFrom(t); t <= until; ++i) {
    if (i >= symbols_.size() || symbols_[i].start > t) {
      // Idle mark up to the next symbol, which starts with a space.
      if (level == 1)
        return t;
      if (i >= symbols_.size())
        return kLineNever;
      t = symbols_[i].start;
      if (t > until)
        return kLineNever;
    }
    const Symbol& s = symbols_[i];
    if (s.end <= s.start)
      continue;  // cut before it began
    LineTime found = s.NextLevelWithin(t, level);
    if (found != kLineNever && found < s.end)
      return found <= until ? found : kLineNever;
    if (s.end == kLineNever)
      return kLineNever;
    t = s.end;  // mark from the symbol's end, unless the next one starts right there
    if (level == 1 && (i + 1 >= symbols_.size() || symbols_[i + 1].start > t)) {
      return t <= until ? t : kLineNever;
    }
  }
  return kLineNever;
}

void Wire::DropEndedBy(LineTime t) {
  while (!symbols_.empty() && symbols_.front().end <= t)
    symbols_.pop_front();
}

}  // namespace vax::hw
