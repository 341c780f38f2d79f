// Driver checks: a broken kernel rule stops the test that broke it, with the
// rule, the object and where the object came from.
//
// Every check reports through ReportViolation. The default sink prints the
// report, the replay line of the scheduler and aborts the process (each test
// runs in its own process, so that fails exactly that test). Tests that plant
// a fault on purpose install a RecordingSink: violations are then recorded
// and the kernel carries on as safely as it can (a second completion is
// ignored, a leaked block is freed at shutdown, ...).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vax::kernel {

// Stable names of the rules, used in reports and by tests that plant faults.
enum class Rule {
  kIrpCompletedTwice,
  kIrpCompletedPending,            // IoCompleteRequest with STATUS_PENDING
  kIrpCompletedWithCancelRoutine,  // completion while a cancel routine is still set
  kPendingWithoutMark,             // STATUS_PENDING returned without IoMarkIrpPending
  kMarkWithoutPending,             // IoMarkIrpPending but a final status returned
  kCompleteUnderCancelLock,        // completion with the cancel spin lock held
  kCallUnderCancelLock,            // IoCallDriver with the cancel spin lock held
  kIrpStackOverrun,                // no stack location left for IoCallDriver
  kCancelOfCompletedIrp,           // a cancel routine found in a completed IRP
  kWaitAtDispatch,                 // wait with a non-zero timeout at DISPATCH_LEVEL
  kPagedPoolAtDispatch,
  kBadPoolFree,         // NULL, twice or a foreign pointer
  kSpinLockWrongOwner,  // released by another thread
  kSpinLockWrongIrql,   // released at the wrong IRQL
  kSpinLockRecursive,
  kSpinLockAcrossUsbCall,  // a spin lock held across a call down to the USB stack
  kIrqlMisuse,             // raise below / lower above the current IRQL, service at too high IRQL
  kDeletedDeviceUse,
  kLeakAtUnload,  // pool, timers, DPCs, threads or IRPs alive at unload
  kOther,
};

const char* RuleName(Rule rule);

struct Violation {
  Rule rule;
  std::string message;  // rule, object and allocation site, as printed
};

using ViolationSink = std::function<void(const Violation&)>;

// Reports a broken rule. Returns only when the installed sink returns.
void ReportViolation(Rule rule, std::string message);

// Installs a sink for the lifetime of the object, restoring the previous one.
class ScopedViolationSink {
 public:
  explicit ScopedViolationSink(ViolationSink sink);
  ~ScopedViolationSink();
  ScopedViolationSink(const ScopedViolationSink&) = delete;
  ScopedViolationSink& operator=(const ScopedViolationSink&) = delete;

 private:
  ViolationSink previous_;
};

// Collects violations instead of aborting; for planted-fault tests.
class RecordingSink {
 public:
  RecordingSink();
  const std::vector<Violation>& violations() const { return violations_; }
  bool Saw(Rule rule) const;

 private:
  std::vector<Violation> violations_;
  ScopedViolationSink scope_;
};

}  // namespace vax::kernel
