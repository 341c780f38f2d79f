// Fault injection for allocations: make the Nth pool or IRP allocation fail,
// make each fail with a probability, or walk every allocation site of a
// scenario, failing each once across repeated runs. Injectors only decide
// that an allocation returns NULL; the checks that judge how the driver copes
// are separate (checks.h), so either can be used alone.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "nt/kernel.h"

namespace vax::kernel {

enum class AllocationKind { kPool, kIrp };

struct FaultPlan {
  enum class Mode { kOff, kNth, kProbability };
  Mode mode = Mode::kOff;
  // kNth: the nth counted allocation from now fails (1 is the next one); with
  // and_after, every later one fails too (pool exhaustion rather than a blip).
  std::uint64_t nth = 0;
  bool and_after = false;
  // kProbability: each counted allocation fails with this probability, drawn
  // from a PRNG seeded with `seed`, or with the scheduler's run seed when 0,
  // so a replayed seed fails the same allocations.
  double probability = 0;
  std::uint64_t seed = 0;
  // Which allocations count: those charged to `driver` (any driver when
  // nullptr); with include_platform also those charged to no driver (the
  // platform's own, the test's).
  PDRIVER_OBJECT driver = nullptr;
  bool include_platform = false;
};

// Installs `plan` for `kind` for the lifetime of the object and restores the
// previous plan after.
class ScopedFault {
 public:
  ScopedFault(AllocationKind kind, const FaultPlan& plan);
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;

 private:
  AllocationKind kind_;
  FaultPlan previous_;
};

struct InjectedFault {
  AllocationKind kind;
  std::uint64_t index;  // counted allocation number, from 1
  std::string site;     // allocation site and thread
};
// Faults injected since the current plans were installed.
std::vector<InjectedFault> InjectedFaults();
// Allocations of `kind` counted by the current plan so far.
std::uint64_t CountedAllocations(AllocationKind kind);

// Fails each distinct allocation site once across repeated runs of one
// scenario. While a Run is armed, the first counted allocation from a site
// that no earlier run failed fails, and nothing else does. Repeat the
// scenario until done():
//
//   SiteSweep sweep;
//   for (int run = 0; run < 100 && !sweep.done(); ++run) {
//     World world;
//     SiteSweep::Run armed(sweep);
//     ...the scenario, which must cope with the one failure...
//   }
class SiteSweep {
 public:
  explicit SiteSweep(std::vector<AllocationKind> kinds = {AllocationKind::kPool,
                                                          AllocationKind::kIrp},
                     PDRIVER_OBJECT driver = nullptr, bool include_platform = false);

  class Run {
   public:
    explicit Run(SiteSweep& sweep);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

   private:
    SiteSweep& sweep_;
  };

  // True once a run has completed without failing a new site.
  bool done() const { return done_; }
  int runs() const { return runs_; }
  // Sites failed so far, in the order they were failed.
  const std::vector<std::string>& failed_sites() const { return failed_descriptions_; }

 private:
  friend bool ShouldFailAllocation(AllocationKind, const void*, PDRIVER_OBJECT);
  std::vector<AllocationKind> kinds_;
  PDRIVER_OBJECT driver_;
  bool include_platform_;
  std::set<std::pair<int, const void*>> failed_;
  std::vector<std::string> failed_descriptions_;
  bool injected_this_run_ = false;
  bool done_ = false;
  int runs_ = 0;
};

// Asked by the pool and the IRP allocator at every allocation: true means
// return NULL. `site` is the caller's return address, `driver` the driver the
// allocation is charged to.
bool ShouldFailAllocation(AllocationKind kind, const void* site, PDRIVER_OBJECT driver);

}  // namespace vax::kernel
