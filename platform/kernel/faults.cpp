// Allocation fault injection: the plans per allocation kind, the seeded PRNG
// behind probabilistic failures, and the site sweep.
#include "kernel/faults.h"

#include <mutex>

#include "kernel/io_private.h"
#include "sim/scheduler.h"

namespace vax::kernel {
namespace {

// splitmix64: small, good enough for fault decisions, and independent of the
// scheduler's own stream so that arming a fault does not change the
// interleaving of a run.
struct Prng {
  std::uint64_t state = 0;
  std::uint64_t Next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
};

struct KindState {
  FaultPlan plan;
  std::uint64_t counted = 0;
  Prng prng;
};

struct FaultState {
  std::mutex mutex;
  KindState kinds[2];
  struct Injected {
    AllocationKind kind;
    std::uint64_t index;
    io::Site site;
  };
  std::vector<Injected> injected;  // described only when asked for
  SiteSweep* sweep = nullptr;      // armed sweep, if any
};

FaultState& State() {
  static FaultState* state = new FaultState;
  return *state;
}

KindState& Kind(FaultState& state, AllocationKind kind) {
  return state.kinds[kind == AllocationKind::kPool ? 0 : 1];
}

bool Counts(PDRIVER_OBJECT wanted, bool include_platform, PDRIVER_OBJECT driver) {
  if (driver == nullptr)
    return include_platform;
  return wanted == nullptr || wanted == driver;
}

void InstallPlan(AllocationKind kind, const FaultPlan& plan) {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  KindState& target = Kind(state, kind);
  target.plan = plan;
  target.counted = 0;
  std::uint64_t seed = plan.seed;
  if (seed == 0 && sim::Scheduler::Current() != nullptr) {
    seed = sim::Scheduler::Current()->options().seed;
  }
  target.prng.state = seed ^ (kind == AllocationKind::kPool ? 0x706F6F6Cull : 0x697270ull);
  state.injected.clear();
}

}  // namespace

ScopedFault::ScopedFault(AllocationKind kind, const FaultPlan& plan) : kind_(kind) {
  {
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    previous_ = Kind(state, kind).plan;
  }
  InstallPlan(kind, plan);
}

ScopedFault::~ScopedFault() {
  InstallPlan(kind_, previous_);
}

std::vector<InjectedFault> InjectedFaults() {
  FaultState& state = State();
  std::vector<FaultState::Injected> injected;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    injected = state.injected;
  }
  std::vector<InjectedFault> faults;
  for (const auto& fault : injected) {
    faults.push_back({fault.kind, fault.index, io::DescribeSite(fault.site)});
  }
  return faults;
}

std::uint64_t CountedAllocations(AllocationKind kind) {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return Kind(state, kind).counted;
}

SiteSweep::SiteSweep(std::vector<AllocationKind> kinds, PDRIVER_OBJECT driver,
                     bool include_platform)
    : kinds_(std::move(kinds)), driver_(driver), include_platform_(include_platform) {}

SiteSweep::Run::Run(SiteSweep& sweep) : sweep_(sweep) {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  sweep_.injected_this_run_ = false;
  state.sweep = &sweep_;
}

SiteSweep::Run::~Run() {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.sweep == &sweep_)
    state.sweep = nullptr;
  ++sweep_.runs_;
  sweep_.done_ = !sweep_.injected_this_run_;
}

bool ShouldFailAllocation(AllocationKind kind, const void* site, PDRIVER_OBJECT driver) {
  FaultState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (SiteSweep* sweep = state.sweep) {
    bool wanted = false;
    for (AllocationKind k : sweep->kinds_)
      wanted = wanted || k == kind;
    if (wanted && !sweep->injected_this_run_ &&
        Counts(sweep->driver_, sweep->include_platform_, driver) &&
        sweep->failed_.insert({static_cast<int>(kind), site}).second) {
      sweep->injected_this_run_ = true;
      lock.unlock();
      // Symbolised outside the lock: it may be slow. Once per run only.
      const io::Site where = io::CaptureSite(site);
      std::string description = io::DescribeSite(where);
      lock.lock();
      sweep->failed_descriptions_.push_back(std::move(description));
      state.injected.push_back({kind, 0, where});
      return true;
    }
  }
  KindState& target = Kind(state, kind);
  const FaultPlan& plan = target.plan;
  if (plan.mode == FaultPlan::Mode::kOff || !Counts(plan.driver, plan.include_platform, driver)) {
    return false;
  }
  const std::uint64_t index = ++target.counted;
  bool fail = false;
  if (plan.mode == FaultPlan::Mode::kNth) {
    fail = index == plan.nth || (plan.and_after && plan.nth != 0 && index > plan.nth);
  } else {
    fail = target.prng.Unit() < plan.probability;
  }
  if (!fail)
    return false;
  lock.unlock();
  const io::Site where = io::CaptureSite(site);
  lock.lock();
  state.injected.push_back({kind, index, where});
  return true;
}

}  // namespace vax::kernel
