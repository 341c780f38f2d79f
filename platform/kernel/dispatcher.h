// The dispatcher database: the state of every waitable object and the list of
// threads waiting on them, under one lock. Private to platform/kernel.
//
// Waits are satisfied when the object is signalled, not when the waiter next
// runs: KeSetEvent on a synchronization event with a waiter hands the event to
// that waiter and leaves it clear, as Windows does, so the setter cannot take
// it back before the waiter runs.
#pragma once

#include <vector>

#include "kernel/internal.h"

namespace vax::kernel {

// Dispatcher object types, as kept in DISPATCHER_HEADER.Type.
enum DispatcherType : UCHAR {
  kEventNotification = 0,
  kEventSynchronization = 1,
  kSemaphoreObject = 5,
  kThreadObject = 6,
  kTimerNotification = 8,
  kTimerSynchronization = 9,
};

// Holds the lock over every DISPATCHER_HEADER's SignalState and the wait
// list. Threads whose waits were satisfied under it are woken when it is
// released, since waking is a scheduling point and no scheduling point may be
// reached with the lock held.
class DispatcherGuard {
 public:
  DispatcherGuard();
  ~DispatcherGuard();
  DispatcherGuard(const DispatcherGuard&) = delete;
  DispatcherGuard& operator=(const DispatcherGuard&) = delete;

  void Wake(vax::sim::Thread* thread);

 private:
  std::vector<vax::sim::Thread*> wake_;
};

// The object became signalled: satisfy the waiters it can satisfy, in the
// order they started waiting; they are woken when `guard` is released.
void SignalObject(DispatcherGuard& guard, DISPATCHER_HEADER* object);

}  // namespace vax::kernel
