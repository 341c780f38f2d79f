// IRQL, spin locks, fast mutexes and interlocked operations.
//
// A KSPIN_LOCK holds 0 when free and the owner's KernelThread address when
// held, so a release by another thread can be named. Acquiring is a
// scheduling point; a thread that finds the lock taken yields until the
// owner lets go, as another processor would spin.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/checks.h"
#include "kernel/dispatcher.h"

namespace vax::kernel {
namespace {

std::string Where(const KernelThread* t) {
  return " in thread " + t->name;
}

void Raise(KernelThread* self, KIRQL new_irql, const char* service) {
  if (new_irql < self->irql) {
    ReportViolation(Rule::kIrqlMisuse, std::string(service) + " to IRQL " +
                                           std::to_string(new_irql) + " below the current " +
                                           std::to_string(self->irql) + Where(self));
    return;
  }
  self->irql = new_irql;
}

void Lower(KernelThread* self, KIRQL new_irql, const char* service) {
  if (new_irql > self->irql) {
    ReportViolation(Rule::kIrqlMisuse, std::string(service) + " to IRQL " +
                                           std::to_string(new_irql) + " above the current " +
                                           std::to_string(self->irql) + Where(self));
    return;
  }
  self->irql = new_irql;
}

ULONG_PTR OwnerValue(KernelThread* t) {
  return reinterpret_cast<ULONG_PTR>(t);
}

// Threads waiting for a spin lock another thread holds. A waiter parks
// instead of spinning: under the PCT policy a spinner that outranks the
// holder would otherwise never let it run.
struct SpinWaiters {
  vax::sim::Mutex lock;
  std::map<PKSPIN_LOCK, std::vector<vax::sim::Thread*>> waiting;
};

SpinWaiters& Waiters() {
  static SpinWaiters* waiters = new SpinWaiters;
  return *waiters;
}

// Waits until the lock is ours. IRQL is already DISPATCH_LEVEL.
void Take(PKSPIN_LOCK lock, KernelThread* self) {
  if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == OwnerValue(self)) {
    ReportViolation(Rule::kSpinLockRecursive,
                    "spin lock acquired again by its owner" + Where(self));
    return;
  }
  vax::sim::Yield("KeAcquireSpinLock");
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, OwnerValue(self), false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    {
      SpinWaiters& w = Waiters();
      std::lock_guard<vax::sim::Mutex> guard(w.lock);
      // Re-read under the waiters' lock: a release that stored 0 before this
      // point is seen here, one after it finds this thread in the list.
      if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == 0)
        continue;
      w.waiting[lock].push_back(self->sim);
    }
    sched->Park(vax::sim::kNoDeadline, "spin lock held by another thread");
  }
  self->spin_locks_held++;
}

// Wakes the threads waiting for `lock`, which has just been released.
void WakeWaiters(PKSPIN_LOCK lock) {
  std::vector<vax::sim::Thread*> wake;
  {
    SpinWaiters& w = Waiters();
    std::lock_guard<vax::sim::Mutex> guard(w.lock);
    auto it = w.waiting.find(lock);
    if (it == w.waiting.end())
      return;
    wake.swap(it->second);
    w.waiting.erase(it);
  }
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  for (vax::sim::Thread* t : wake)
    sched->Unpark(t);
}

void Give(PKSPIN_LOCK lock, KernelThread* self, const char* service) {
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != OwnerValue(self)) {
    ReportViolation(Rule::kSpinLockWrongOwner,
                    std::string(service) +
                        (owner == 0 ? " of a spin lock that is not held"
                                    : " of a spin lock held by thread " +
                                          reinterpret_cast<KernelThread*>(owner)->name) +
                        Where(self));
    return;
  }
  if (self->irql != DISPATCH_LEVEL) {
    ReportViolation(Rule::kSpinLockWrongIrql, std::string(service) + " at IRQL " +
                                                  std::to_string(self->irql) +
                                                  " instead of DISPATCH_LEVEL" + Where(self));
  }
  self->spin_locks_held--;
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  WakeWaiters(lock);
}

}  // namespace

void RequireIrqlAtMost(KIRQL ceiling, const char* service) {
  KernelThread* self = CurrentThread();
  if (self->irql > ceiling) {
    ReportViolation(Rule::kIrqlMisuse, std::string(service) + " called at IRQL " +
                                           std::to_string(self->irql) + " (at most " +
                                           std::to_string(ceiling) + " allowed)" + Where(self));
  }
}

void CheckNoSpinLockHeld(const char* where) {
  KernelThread* self = CurrentThread();
  if (self->spin_locks_held > 0) {
    ReportViolation(Rule::kSpinLockAcrossUsbCall, std::string(where) + " with " +
                                                      std::to_string(self->spin_locks_held) +
                                                      " spin lock(s) held" + Where(self));
  }
}

}  // namespace vax::kernel

using namespace vax::kernel;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
  return CurrentThread()->irql;
}

void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KernelThread* self = CurrentThread();
  *OldIrql = self->irql;
  Raise(self, NewIrql, "KeRaiseIrql");
}

void NTAPI KeLowerIrql(KIRQL NewIrql) {
  Lower(CurrentThread(), NewIrql, "KeLowerIrql");
}

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old;
  KeRaiseIrql(NewIrql, &old);
  return old;
}

void NTAPI KfLowerIrql(KIRQL NewIrql) {
  Lower(CurrentThread(), NewIrql, "KfLowerIrql");
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  return KfRaiseIrql(DISPATCH_LEVEL);
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
}

KIRQL NTAPI KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KernelThread* self = CurrentThread();
  KIRQL old = self->irql;
  Raise(self, DISPATCH_LEVEL, "KeAcquireSpinLock");
  Take(SpinLock, self);
  return old;
}

void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  *OldIrql = KfAcquireSpinLock(SpinLock);
}

void NTAPI KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KernelThread* self = CurrentThread();
  Give(SpinLock, self, "KeReleaseSpinLock");
  Lower(self, NewIrql, "KeReleaseSpinLock");
}

void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KfReleaseSpinLock(SpinLock, NewIrql);
}

void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  KernelThread* self = CurrentThread();
  if (self->irql < DISPATCH_LEVEL) {
    ReportViolation(Rule::kIrqlMisuse, "KeAcquireSpinLockAtDpcLevel at IRQL " +
                                           std::to_string(self->irql) + " in thread " + self->name);
  }
  Take(SpinLock, self);
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Give(SpinLock, CurrentThread(), "KeReleaseSpinLockFromDpcLevel");
}

void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KernelThread* self = CurrentThread();
  RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
  vax::sim::Yield("ExTryToAcquireFastMutex");
  LONG expected = 1;
  if (!__atomic_compare_exchange_n(&FastMutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED)) {
    return FALSE;
  }
  FastMutex->Owner = self;
  FastMutex->OldIrql = self->irql;
  self->irql = APC_LEVEL;
  return TRUE;
}

void NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KernelThread* self = CurrentThread();
  RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
  if (FastMutex->Owner == self) {
    ReportViolation(Rule::kOther, "fast mutex acquired again by its owner" + Where(self));
    return;
  }
  KIRQL old = self->irql;
  vax::sim::Yield("ExAcquireFastMutex");
  for (;;) {
    LONG expected = 1;
    if (__atomic_compare_exchange_n(&FastMutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    __atomic_fetch_add(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
    KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
  }
  FastMutex->Owner = self;
  FastMutex->OldIrql = old;
  self->irql = APC_LEVEL;
}

void NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KernelThread* self = CurrentThread();
  if (FastMutex->Owner != self) {
    ReportViolation(Rule::kOther,
                    "fast mutex released by a thread that does not own it" + Where(self));
    return;
  }
  KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  FastMutex->Owner = nullptr;
  __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_RELEASE);
  self->irql = old;
  // Waiters retry the count when woken; a wake with nobody waiting leaves the
  // event set and costs the next contender one extra pass.
  if (__atomic_load_n(&FastMutex->Contention, __ATOMIC_RELAXED) != 0) {
    KeSetEvent(&FastMutex->Event, 0, FALSE);
  }
}

// Interlocked operations are scheduling points: another thread may run
// between any two of them, as on a second processor.
LONG NTAPI InterlockedIncrement(LONG volatile* Addend) {
  vax::sim::Yield("InterlockedIncrement");
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedDecrement(LONG volatile* Addend) {
  vax::sim::Yield("InterlockedDecrement");
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
  vax::sim::Yield("InterlockedExchange");
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  vax::sim::Yield("InterlockedExchangeAdd");
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  vax::sim::Yield("InterlockedCompareExchange");
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  vax::sim::Yield("InterlockedExchangePointer");
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                              PVOID Comparand) {
  vax::sim::Yield("InterlockedCompareExchangePointer");
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

}  // extern "C"
