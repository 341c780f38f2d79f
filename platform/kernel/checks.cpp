// The driver-check framework: one place where every broken kernel rule ends.
#include "kernel/checks.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "sim/scheduler.h"

namespace vax::kernel {
namespace {

// The sink is process-wide: a violation may be found on any sim thread, and
// in free mode on several OS threads at once, hence the mutex around it.
std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

ViolationSink& InstalledSink() {
  static ViolationSink sink;  // empty: print and abort
  return sink;
}

[[noreturn]] void PrintAndAbort(const Violation& violation) {
  std::fprintf(stderr, "vax::kernel: driver check failed: %s\n", violation.message.c_str());
  if (sim::Scheduler* scheduler = sim::Scheduler::Current()) {
    std::fprintf(stderr, "replay: %s\n", scheduler->options().Describe().c_str());
  }
  std::fflush(stderr);
  std::abort();
}

}  // namespace

const char* RuleName(Rule rule) {
  switch (rule) {
    case Rule::kIrpCompletedTwice:
      return "IrpCompletedTwice";
    case Rule::kIrpCompletedPending:
      return "IrpCompletedPending";
    case Rule::kIrpCompletedWithCancelRoutine:
      return "IrpCompletedWithCancelRoutine";
    case Rule::kPendingWithoutMark:
      return "PendingWithoutMark";
    case Rule::kMarkWithoutPending:
      return "MarkWithoutPending";
    case Rule::kCompleteUnderCancelLock:
      return "CompleteUnderCancelLock";
    case Rule::kCallUnderCancelLock:
      return "CallUnderCancelLock";
    case Rule::kIrpStackOverrun:
      return "IrpStackOverrun";
    case Rule::kCancelOfCompletedIrp:
      return "CancelOfCompletedIrp";
    case Rule::kWaitAtDispatch:
      return "WaitAtDispatch";
    case Rule::kPagedPoolAtDispatch:
      return "PagedPoolAtDispatch";
    case Rule::kBadPoolFree:
      return "BadPoolFree";
    case Rule::kSpinLockWrongOwner:
      return "SpinLockWrongOwner";
    case Rule::kSpinLockWrongIrql:
      return "SpinLockWrongIrql";
    case Rule::kSpinLockRecursive:
      return "SpinLockRecursive";
    case Rule::kSpinLockAcrossUsbCall:
      return "SpinLockAcrossUsbCall";
    case Rule::kIrqlMisuse:
      return "IrqlMisuse";
    case Rule::kDeletedDeviceUse:
      return "DeletedDeviceUse";
    case Rule::kLeakAtUnload:
      return "LeakAtUnload";
    case Rule::kOther:
      return "Other";
  }
  return "Unknown";
}

void ReportViolation(Rule rule, std::string message) {
  Violation violation{rule, std::string(RuleName(rule)) + ": " + std::move(message)};
  ViolationSink sink;
  {
    std::lock_guard<std::mutex> lock(SinkMutex());
    sink = InstalledSink();
  }
  if (!sink)
    PrintAndAbort(violation);
  // A recording sink shared by threads of a free-running test is serialised
  // here; the copy above keeps a sink being replaced from vanishing under us.
  static std::mutex call_mutex;
  std::lock_guard<std::mutex> lock(call_mutex);
  sink(violation);
}

ScopedViolationSink::ScopedViolationSink(ViolationSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  previous_ = std::exchange(InstalledSink(), std::move(sink));
}

ScopedViolationSink::~ScopedViolationSink() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  InstalledSink() = std::move(previous_);
}

RecordingSink::RecordingSink()
    : scope_([this](const Violation& violation) { violations_.push_back(violation); }) {}

bool RecordingSink::Saw(Rule rule) const {
  for (const Violation& violation : violations_) {
    if (violation.rule == rule)
      return true;
  }
  return false;
}

}  // namespace vax::kernel
