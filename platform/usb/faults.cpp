// Fault injection for one device's traffic: the switches a test sets and the
// questions the host controller asks at its decision points.
#include "usb/bus.h"

namespace vax::usb {

UsbFaults::UsbFaults() : state_(std::make_unique<State>()) {}
UsbFaults::~UsbFaults() = default;

void UsbFaults::StallEndpoint(std::uint8_t endpoint) {
  state_->StallEndpoint(endpoint);
}
void UsbFaults::FailNextUrbs(std::uint8_t endpoint, int count, USBD_STATUS status,
                             NTSTATUS nt_status) {
  Outcome outcome = OutcomeOf(status);
  if (nt_status != 0)
    outcome.nt = nt_status;
  state_->FailNextUrbs(endpoint, count, outcome);
}
void UsbFaults::HoldNextUrbs(std::uint8_t endpoint, int count) {
  state_->HoldNextUrbs(endpoint, count);
}
void UsbFaults::AnswerShort(std::uint8_t request, std::size_t bytes, int count) {
  state_->AnswerShort(request, bytes, count);
}
void UsbFaults::UnplugAt(sim::Ticks when) {
  state_->UnplugAt(when);
}
void UsbFaults::UnplugAfterUrbs(int count) {
  state_->UnplugAfterUrbs(count);
}
void UsbFaults::Clear() {
  state_->Clear();
}

void UsbFaults::State::SetChanged(std::function<void()> changed) {
  std::lock_guard<sim::Mutex> lock(mu_);
  changed_ = std::move(changed);
}

void UsbFaults::State::StallEndpoint(std::uint8_t endpoint) {
  std::lock_guard<sim::Mutex> lock(mu_);
  if ((endpoint & 0x0F) == 0) {
    control_stall_ = true;
  } else {
    stalled_.insert(endpoint);
  }
}

void UsbFaults::State::FailNextUrbs(std::uint8_t endpoint, int count, Outcome outcome) {
  std::lock_guard<sim::Mutex> lock(mu_);
  failures_[endpoint] = Failure{count, outcome};
}

void UsbFaults::State::HoldNextUrbs(std::uint8_t endpoint, int count) {
  std::lock_guard<sim::Mutex> lock(mu_);
  holds_[endpoint] = count;
}

void UsbFaults::State::AnswerShort(std::uint8_t request, std::size_t bytes, int count) {
  std::lock_guard<sim::Mutex> lock(mu_);
  shorts_[request] = Short{count, bytes};
}

void UsbFaults::State::UnplugAt(sim::Ticks when) {
  std::function<void()> changed;
  {
    std::lock_guard<sim::Mutex> lock(mu_);
    unplug_at_ = when;
    changed = changed_;
  }
  if (changed)
    changed();
}

void UsbFaults::State::UnplugAfterUrbs(int count) {
  std::lock_guard<sim::Mutex> lock(mu_);
  unplug_after_ = count;
}

void UsbFaults::State::Clear() {
  std::lock_guard<sim::Mutex> lock(mu_);
  stalled_.clear();
  control_stall_ = false;
  failures_.clear();
  holds_.clear();
  shorts_.clear();
  unplug_at_ = sim::kNoDeadline;
  unplug_after_ = -1;
}

bool UsbFaults::State::Stalled(std::uint8_t endpoint) {
  std::lock_guard<sim::Mutex> lock(mu_);
  return stalled_.count(endpoint) != 0;
}

bool UsbFaults::State::TakeControlStall() {
  std::lock_guard<sim::Mutex> lock(mu_);
  const bool stall = control_stall_;
  control_stall_ = false;
  return stall;
}

void UsbFaults::State::ClearStall(std::uint8_t endpoint) {
  std::lock_guard<sim::Mutex> lock(mu_);
  stalled_.erase(endpoint);
}

void UsbFaults::State::ClearAllStalls() {
  std::lock_guard<sim::Mutex> lock(mu_);
  stalled_.clear();
  control_stall_ = false;
}

std::optional<Outcome> UsbFaults::State::TakeFailure(std::uint8_t endpoint) {
  std::lock_guard<sim::Mutex> lock(mu_);
  auto found = failures_.find(endpoint);
  if (found == failures_.end() || found->second.count <= 0)
    return std::nullopt;
  const Outcome outcome = found->second.outcome;
  if (--found->second.count == 0)
    failures_.erase(found);
  return outcome;
}

bool UsbFaults::State::TakeHold(std::uint8_t endpoint) {
  std::lock_guard<sim::Mutex> lock(mu_);
  auto found = holds_.find(endpoint);
  if (found == holds_.end() || found->second <= 0)
    return false;
  if (--found->second == 0)
    holds_.erase(found);
  return true;
}

std::optional<std::size_t> UsbFaults::State::TakeShortAnswer(std::uint8_t request) {
  std::lock_guard<sim::Mutex> lock(mu_);
  auto found = shorts_.find(request);
  if (found == shorts_.end() || found->second.count <= 0)
    return std::nullopt;
  const std::size_t bytes = found->second.bytes;
  if (--found->second.count == 0)
    shorts_.erase(found);
  return bytes;
}

sim::Ticks UsbFaults::State::unplug_at() {
  std::lock_guard<sim::Mutex> lock(mu_);
  return unplug_at_;
}

bool UsbFaults::State::CountCompletion() {
  std::lock_guard<sim::Mutex> lock(mu_);
  if (unplug_after_ < 0)
    return false;
  if (unplug_after_ > 0)
    --unplug_after_;
  if (unplug_after_ != 0)
    return false;
  unplug_after_ = -1;
  return true;
}

}  // namespace vax::usb
