// Timers, DPCs, the system clock, and the DPC threads that run them.
//
// Each simulated processor has a DPC thread at the highest priority. It
// expires due timers (signalling them and queueing their DPCs) and runs
// queued DPCs at DISPATCH_LEVEL, then parks until the next due time or until
// a DPC is queued or a timer set. With two processors two DPCs can run at
// once, as on the machines the driver meets.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kernel/checks.h"
#include "kernel/dispatcher.h"
#include "kernel/boot.h"

namespace vax::kernel {
namespace {

// 2026-01-01 00:00 UTC in 100-ns units since 1601: the system time at boot.
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;

// A DPC object's DpcData while it sits in the queue.
char queued_marker;

struct TimerKey {
  vax::sim::Ticks due;
  std::uint64_t sequence;  // FIFO among equal due times
  bool operator<(const TimerKey& o) const {
    return due != o.due ? due < o.due : sequence < o.sequence;
  }
};

struct TimerState {
  vax::sim::Mutex lock;  // guards everything below
  std::map<TimerKey, PKTIMER> queue;
  std::map<PKTIMER, TimerKey> queued;
  std::map<const void*, PDRIVER_OBJECT> owner;  // timer or DPC -> driver that initialised it
  std::vector<PKDPC> dpcs;                      // FIFO
  std::uint64_t sequence = 0;
  std::vector<vax::sim::Thread*> cpus;
  std::vector<bool> cpu_idle;
  std::map<PKDPC, int> running;  // DPCs whose routine runs now
  bool stopping = false;
};

TimerState*& State() {
  static TimerState* state = nullptr;
  return state;
}

vax::sim::Ticks TicksFromSystemTime(LONGLONG t) {
  return t - kBootSystemTime;
}

// Expires every due timer. Returns the timers' DPCs to queue. Lock held.
void ExpireDue(TimerState& s, vax::sim::Ticks now, std::vector<PKTIMER>* expired) {
  while (!s.queue.empty() && s.queue.begin()->first.due <= now) {
    PKTIMER timer = s.queue.begin()->second;
    s.queued.erase(timer);
    s.queue.erase(s.queue.begin());
    timer->Header.Inserted = FALSE;
    expired->push_back(timer);
  }
}

bool QueueDpcLocked(TimerState& s, PKDPC dpc, PVOID a1, PVOID a2) {
  if (dpc->DpcData != nullptr)
    return false;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  dpc->DpcData = &queued_marker;
  s.dpcs.push_back(dpc);
  return true;
}

void WakeIdleCpu(TimerState& s, std::vector<vax::sim::Thread*>* wake) {
  for (size_t i = 0; i < s.cpus.size(); ++i) {
    if (s.cpu_idle[i]) {
      wake->push_back(s.cpus[i]);
      return;
    }
  }
}

void CpuLoop(int cpu) {
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  KernelThread* self = CurrentThread();
  for (;;) {
    TimerState& s = *State();
    std::vector<PKTIMER> expired;
    PKDPC dpc = nullptr;
    vax::sim::Ticks next_due = vax::sim::kNoDeadline;
    {
      std::lock_guard<vax::sim::Mutex> guard(s.lock);
      if (s.stopping)
        return;
      ExpireDue(s, sched->Now(), &expired);
      for (PKTIMER timer : expired) {
        if (timer->Dpc) {
          LARGE_INTEGER now;
          now.QuadPart = SystemTime();
          QueueDpcLocked(s, timer->Dpc,
                         reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.LowPart)),
                         reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.HighPart)));
        }
      }
      if (!s.dpcs.empty()) {
        dpc = s.dpcs.front();
        s.dpcs.erase(s.dpcs.begin());
        // Cleared before the routine runs: the routine may queue it again.
        dpc->DpcData = nullptr;
        s.running[dpc]++;
      } else if (!s.queue.empty()) {
        next_due = s.queue.begin()->first.due;
      }
      s.cpu_idle[cpu] = dpc == nullptr && expired.empty();
    }
    if (!expired.empty()) {
      DispatcherGuard guard;
      for (PKTIMER timer : expired) {
        timer->Header.SignalState = 1;
        SignalObject(guard, &timer->Header);
      }
    }
    if (dpc != nullptr) {
      PDRIVER_OBJECT driver = nullptr;
      {
        std::lock_guard<vax::sim::Mutex> guard(s.lock);
        auto it = s.owner.find(dpc);
        if (it != s.owner.end())
          driver = it->second;
      }
      self->irql = DISPATCH_LEVEL;
      {
        DriverScope scope(driver);
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      }
      if (self->irql != DISPATCH_LEVEL || self->spin_locks_held != 0) {
        ReportViolation(Rule::kIrqlMisuse,
                        "a DPC routine returned at IRQL " + std::to_string(self->irql) +
                            " holding " + std::to_string(self->spin_locks_held) + " spin lock(s)");
      }
      self->irql = PASSIVE_LEVEL;
      std::lock_guard<vax::sim::Mutex> guard(s.lock);
      if (--s.running[dpc] == 0)
        s.running.erase(dpc);
      continue;
    }
    if (!expired.empty())
      continue;
    sched->Park(next_due, "DPC queue and timers");
  }
}

TimerState& Required() {
  if (State() == nullptr) {
    std::fprintf(stderr, "kernel timer service called with no World booted\n");
    std::abort();
  }
  return *State();
}

}  // namespace

void BootTimers(int processors) {
  State() = new TimerState();
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  TimerState& s = *State();
  s.cpu_idle.assign(processors, false);
  for (int cpu = 0; cpu < processors; ++cpu) {
    s.cpus.push_back(sched->Spawn("dpc-" + std::to_string(cpu), 31, [cpu] { CpuLoop(cpu); }));
  }
}

void ShutdownTimers() {
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  TimerState* s = State();
  if (s == nullptr)
    return;
  {
    std::lock_guard<vax::sim::Mutex> guard(s->lock);
    s->stopping = true;
  }
  for (vax::sim::Thread* cpu : s->cpus)
    sched->Unpark(cpu);
  for (vax::sim::Thread* cpu : s->cpus)
    sched->Join(cpu);
  delete s;
  State() = nullptr;
}

void KickDpcThread() {
  std::vector<vax::sim::Thread*> wake;
  {
    TimerState& s = Required();
    std::lock_guard<vax::sim::Mutex> guard(s.lock);
    WakeIdleCpu(s, &wake);
    if (wake.empty() && !s.cpus.empty())
      wake.push_back(s.cpus[0]);
  }
  for (vax::sim::Thread* t : wake)
    vax::sim::Scheduler::Current()->Unpark(t);
}

LONGLONG SystemTime() {
  return kBootSystemTime + vax::sim::Now();
}

vax::sim::Ticks DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr)
    return vax::sim::kNoDeadline;
  vax::sim::Ticks now = vax::sim::Now();
  if (timeout->QuadPart < 0)
    return now - timeout->QuadPart;
  if (timeout->QuadPart == 0)
    return now;
  vax::sim::Ticks due = TicksFromSystemTime(timeout->QuadPart);
  return due < now ? now : due;
}

void ReportTimerAndDpcLeaks(PDRIVER_OBJECT driver, std::string* report) {
  TimerState& s = Required();
  std::lock_guard<vax::sim::Mutex> guard(s.lock);
  for (const auto& [timer, key] : s.queued) {
    auto it = s.owner.find(timer);
    if (it != s.owner.end() && it->second == driver) {
      *report += "  timer still set, due at " + std::to_string(key.due) + " ticks\n";
    }
  }
  for (PKDPC dpc : s.dpcs) {
    auto it = s.owner.find(dpc);
    if (it != s.owner.end() && it->second == driver)
      *report += "  DPC still queued\n";
  }
  for (const auto& [dpc, count] : s.running) {
    auto it = s.owner.find(dpc);
    if (it != s.owner.end() && it->second == driver)
      *report += "  DPC still running\n";
  }
}

void ForgetTimerObjects(const void* begin, size_t length) {
  // A device extension is going away with its device object. A timer still
  // set or a DPC still queued inside it would fire into freed memory: report
  // it and take it out of the queues. The attribution of every timer and DPC
  // that lived there is forgotten so a later object at the same address
  // starts clean.
  TimerState* s = State();
  if (s == nullptr)
    return;
  const char* lo = static_cast<const char*>(begin);
  const char* hi = lo + length;
  auto inside = [&](const void* p) {
    const char* c = static_cast<const char*>(p);
    return c >= lo && c < hi;
  };
  std::string leaks;
  {
    std::lock_guard<vax::sim::Mutex> guard(s->lock);
    for (auto it = s->queued.begin(); it != s->queued.end();) {
      if (!inside(it->first)) {
        ++it;
        continue;
      }
      leaks += "  a timer still set\n";
      it->first->Header.Inserted = FALSE;
      s->queue.erase(it->second);
      it = s->queued.erase(it);
    }
    for (auto it = s->dpcs.begin(); it != s->dpcs.end();) {
      if (!inside(*it)) {
        ++it;
        continue;
      }
      leaks += "  a DPC still queued\n";
      (*it)->DpcData = nullptr;
      it = s->dpcs.erase(it);
    }
    for (const auto& [dpc, count] : s->running) {
      if (inside(dpc))
        leaks += "  a DPC still running\n";
    }
    for (auto it = s->owner.begin(); it != s->owner.end();) {
      it = inside(it->first) ? s->owner.erase(it) : std::next(it);
    }
  }
  if (!leaks.empty()) {
    ReportViolation(Rule::kDeletedDeviceUse,
                    "IoDeleteDevice of a device whose extension still holds:\n" + leaks);
  }
}

}  // namespace vax::kernel

using namespace vax::kernel;

extern "C" {

void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  TimerState& s = Required();
  Timer->Header.Type = Type == NotificationTimer ? kTimerNotification : kTimerSynchronization;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  PDRIVER_OBJECT driver = CurrentThread()->driver;
  std::lock_guard<vax::sim::Mutex> guard(s.lock);
  if (s.queued.count(Timer)) {
    ReportViolation(Rule::kOther, "KeInitializeTimer on a timer that is still set");
  }
  s.owner[Timer] = driver;
}

void NTAPI KeInitializeTimer(PKTIMER Timer) {
  KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
  if (Period != 0) {
    ReportViolation(Rule::kOther, "periodic timers are not part of this kernel");
  }
  vax::sim::Ticks due = DeadlineFromTimeout(&DueTime);
  BOOLEAN was_queued;
  {
    TimerState& s = Required();
    std::lock_guard<vax::sim::Mutex> guard(s.lock);
    auto it = s.queued.find(Timer);
    was_queued = it != s.queued.end();
    if (was_queued) {
      s.queue.erase(it->second);
      s.queued.erase(it);
    }
    TimerKey key{due, s.sequence++};
    s.queue[key] = Timer;
    s.queued[Timer] = key;
    Timer->Header.Inserted = TRUE;
    Timer->Dpc = Dpc;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due + SystemTime() - vax::sim::Now());
  }
  {
    DispatcherGuard guard;
    Timer->Header.SignalState = 0;
  }
  KickDpcThread();
  return was_queued;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  TimerState& s = Required();
  std::lock_guard<vax::sim::Mutex> guard(s.lock);
  auto it = s.queued.find(Timer);
  if (it == s.queued.end())
    return FALSE;
  s.queue.erase(it->second);
  s.queued.erase(it);
  Timer->Header.Inserted = FALSE;
  return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  DispatcherGuard guard;
  return Timer->Header.SignalState != 0;
}

void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
  PDRIVER_OBJECT driver = CurrentThread()->driver;
  TimerState& s = Required();
  std::lock_guard<vax::sim::Mutex> guard(s.lock);
  s.owner[Dpc] = driver;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  bool queued;
  {
    TimerState& s = Required();
    std::lock_guard<vax::sim::Mutex> guard(s.lock);
    queued = QueueDpcLocked(s, Dpc, SystemArgument1, SystemArgument2);
  }
  if (queued)
    KickDpcThread();
  vax::sim::Yield("KeInsertQueueDpc");
  return queued;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  TimerState& s = Required();
  std::lock_guard<vax::sim::Mutex> guard(s.lock);
  if (Dpc->DpcData == nullptr)
    return FALSE;
  for (auto it = s.dpcs.begin(); it != s.dpcs.end(); ++it) {
    if (*it == Dpc) {
      s.dpcs.erase(it);
      break;
    }
  }
  Dpc->DpcData = nullptr;
  return TRUE;
}

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = SystemTime();
}

// The clock ticks every 15.625 ms, as on the uniprocessor and multiprocessor
// kernels the driver targets.
void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = vax::sim::Now() / 156250;
}

ULONG NTAPI KeQueryTimeIncrement(void) {
  return 156250;
}

}  // extern "C"
