// Events, semaphores and the waits on them (and on timers and threads).
#include "kernel/dispatcher.h"

#include <string>

#include "kernel/checks.h"

namespace vax::kernel {
namespace {

// One thread's wait, on its own stack while it waits.
struct Waiter {
  KernelThread* thread;
  PVOID* objects;
  ULONG count;
  WAIT_TYPE type;
  bool satisfied = false;
  NTSTATUS status = STATUS_SUCCESS;
  Waiter* prev = nullptr;
  Waiter* next = nullptr;
};

struct WaitList {
  Waiter* head = nullptr;
  Waiter* tail = nullptr;
};

WaitList& Waiters() {
  static WaitList list;
  return list;
}

void Link(Waiter* w) {
  WaitList& list = Waiters();
  w->prev = list.tail;
  w->next = nullptr;
  if (list.tail) {
    list.tail->next = w;
  } else {
    list.head = w;
  }
  list.tail = w;
}

void Unlink(Waiter* w) {
  WaitList& list = Waiters();
  (w->prev ? w->prev->next : list.head) = w->next;
  (w->next ? w->next->prev : list.tail) = w->prev;
  w->prev = w->next = nullptr;
}

DISPATCHER_HEADER* Header(PVOID object) {
  return static_cast<DISPATCHER_HEADER*>(object);
}

bool IsSignalled(const DISPATCHER_HEADER* h) {
  return h->SignalState > 0;
}

// Takes what a satisfied wait takes from the object: a synchronization event
// or timer resets, a semaphore counts down; notification objects and threads
// stay signalled.
void Consume(DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case kEventSynchronization:
    case kTimerSynchronization:
      h->SignalState = 0;
      break;
    case kSemaphoreObject:
      h->SignalState--;
      break;
    default:
      break;
  }
}

// Satisfies the wait if it can, consuming the objects. Lock held.
bool TrySatisfy(PVOID* objects, ULONG count, WAIT_TYPE type, NTSTATUS* status) {
  if (type == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      DISPATCHER_HEADER* h = Header(objects[i]);
      if (IsSignalled(h)) {
        Consume(h);
        *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        return true;
      }
    }
    return false;
  }
  for (ULONG i = 0; i < count; ++i) {
    if (!IsSignalled(Header(objects[i])))
      return false;
  }
  for (ULONG i = 0; i < count; ++i)
    Consume(Header(objects[i]));
  *status = STATUS_SUCCESS;
  return true;
}

bool WaitsOn(const Waiter* w, const DISPATCHER_HEADER* object) {
  for (ULONG i = 0; i < w->count; ++i) {
    if (w->objects[i] == object)
      return true;
  }
  return false;
}

std::string DescribeWait(ULONG count, WAIT_TYPE type) {
  return std::string("KeWaitFor") + (count == 1 ? "SingleObject" : "MultipleObjects") +
         (count > 1 ? (type == WaitAll ? " (all)" : " (any)") : "");
}

}  // namespace

namespace {
sim::Mutex& DispatcherLock() {
  static sim::Mutex lock;
  return lock;
}
}  // namespace

DispatcherGuard::DispatcherGuard() {
  DispatcherLock().lock();
}

DispatcherGuard::~DispatcherGuard() {
  DispatcherLock().unlock();
  if (wake_.empty())
    return;
  sim::Scheduler* sched = sim::Scheduler::Current();
  for (sim::Thread* thread : wake_)
    sched->Unpark(thread);
}

void DispatcherGuard::Wake(sim::Thread* thread) {
  wake_.push_back(thread);
}

void SignalObject(DispatcherGuard& guard, DISPATCHER_HEADER* object) {
  for (Waiter* w = Waiters().head; w && IsSignalled(object);) {
    Waiter* next = w->next;
    if (WaitsOn(w, object) && TrySatisfy(w->objects, w->count, w->type, &w->status)) {
      w->satisfied = true;
      Unlink(w);
      guard.Wake(w->thread->sim);
    }
    w = next;
  }
}

void ResetDispatcher() {
  Waiters() = WaitList{};
}

}  // namespace vax::kernel

using namespace vax::kernel;

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? kEventNotification : kEventSynchronization;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  LONG previous;
  {
    DispatcherGuard guard;
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SignalObject(guard, &Event->Header);
  }
  vax::sim::Yield("KeSetEvent");
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  DispatcherGuard guard;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
  DispatcherGuard guard;
  Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  DispatcherGuard guard;
  return Event->Header.SignalState;
}

void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  Semaphore->Header.Type = kSemaphoreObject;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                              BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  LONG previous;
  {
    DispatcherGuard guard;
    previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
      ReportViolation(Rule::kOther, "KeReleaseSemaphore: the count would exceed the limit");
      return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    SignalObject(guard, &Semaphore->Header);
  }
  vax::sim::Yield("KeReleaseSemaphore");
  return previous;
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  KernelThread* self = CurrentThread();
  const bool poll = Timeout && Timeout->QuadPart == 0;
  if (!poll && self->irql >= DISPATCH_LEVEL) {
    ReportViolation(Rule::kWaitAtDispatch,
                    DescribeWait(Count, WaitType) + " with a non-zero timeout at IRQL " +
                        std::to_string(self->irql) + " in thread " + self->name);
  }
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
      (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    ReportViolation(Rule::kOther, DescribeWait(Count, WaitType) + " of " + std::to_string(Count) +
                                      " objects without a wait block array for them");
    return STATUS_INVALID_PARAMETER;
  }
  const vax::sim::Ticks deadline = DeadlineFromTimeout(Timeout);
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  const std::string what = DescribeWait(Count, WaitType);

  Waiter waiter{self, Object, Count, WaitType};
  {
    DispatcherGuard guard;
    NTSTATUS status;
    if (TrySatisfy(Object, Count, WaitType, &status))
      return status;
    if (poll)
      return STATUS_TIMEOUT;
    Link(&waiter);
  }
  for (;;) {
    sched->Park(deadline, what.c_str());
    DispatcherGuard guard;
    if (waiter.satisfied)
      return waiter.status;
    if (sched->Now() >= deadline) {
      Unlink(&waiter);
      return STATUS_TIMEOUT;
    }
  }
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, WaitReason, WaitMode, Alertable, Timeout,
                                  nullptr);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  vax::sim::SleepUntil(DeadlineFromTimeout(Interval), "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  // The processor spins: time passes, but nothing else is owed to the caller.
  vax::sim::SleepFor(static_cast<vax::sim::Ticks>(MicroSeconds) * vax::sim::kTicksPerUs,
                     "KeStallExecutionProcessor");
}

}  // extern "C"
