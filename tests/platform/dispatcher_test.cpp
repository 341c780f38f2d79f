// Events, waits, delays, timers, DPCs and system threads of the kernel
// stand-in, against the documented Windows behaviour.
#include <gtest/gtest.h>

#include <vector>

#include "kernel/boot.h"
#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "nt/kernel.h"
#include "world/world.h"

namespace {

using vax::sim::kTicksPerMs;

LARGE_INTEGER Relative(vax::sim::Ticks ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

// Runs `body` as a system thread and returns its handle's thread object.
struct Spawned {
  PVOID thread;
};

template <typename F>
Spawned SpawnSystemThread(F* body) {
  HANDLE handle;
  EXPECT_EQ(STATUS_SUCCESS, PsCreateSystemThread(
                                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                [](PVOID ctx) { (*static_cast<F*>(ctx))(); }, body));
  PVOID object = nullptr;
  EXPECT_EQ(STATUS_SUCCESS,
            ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr));
  ZwClose(handle);
  return {object};
}

void Join(Spawned s) {
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(s.thread, Executive, KernelMode, FALSE, nullptr));
}

TEST(Events, SetResetClearAndReadReturnThePreviousState) {
  vax::World world;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(0, KeReadStateEvent(&event));
  EXPECT_EQ(0, KeSetEvent(&event, 0, FALSE));
  EXPECT_EQ(1, KeSetEvent(&event, 0, FALSE));
  EXPECT_EQ(1, KeResetEvent(&event));
  EXPECT_EQ(0, KeResetEvent(&event));
  KeSetEvent(&event, 0, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(0, KeReadStateEvent(&event));
}

// A table over the two event types: how many of three waiters one KeSetEvent
// releases, and what state the event is left in.
TEST(Events, NotificationReleasesAllSynchronizationReleasesOne) {
  struct Case {
    EVENT_TYPE type;
    int released;
    LONG state_after;
  };
  for (Case c : {Case{NotificationEvent, 3, 1}, Case{SynchronizationEvent, 1, 0}}) {
    vax::World world;
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    int released = 0;
    LARGE_INTEGER timeout = Relative(50 * kTicksPerMs);
    auto waiter = [&] {
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        ++released;
      }
    };
    std::vector<Spawned> threads;
    for (int i = 0; i < 3; ++i)
      threads.push_back(SpawnSystemThread(&waiter));
    world.RunFor(10 * kTicksPerMs);
    KeSetEvent(&event, 0, FALSE);
    for (Spawned s : threads)
      Join(s);
    EXPECT_EQ(c.released, released) << "event type " << c.type;
    EXPECT_EQ(c.state_after, KeReadStateEvent(&event)) << "event type " << c.type;
  }
}

TEST(Waits, TimeoutEncodings) {
  vax::World world;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  struct Case {
    const char* name;
    LONGLONG timeout;  // as passed
    vax::sim::Ticks elapsed;
  };
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  for (Case c : {Case{"poll", 0, 0}, Case{"relative 20 ms", -20 * kTicksPerMs, 20 * kTicksPerMs},
                 Case{"absolute +30 ms", now.QuadPart + 30 * kTicksPerMs, 30 * kTicksPerMs},
                 Case{"absolute in the past", now.QuadPart - kTicksPerMs, 0}}) {
    vax::sim::Ticks start = vax::sim::Now();
    LARGE_INTEGER timeout;
    timeout.QuadPart = c.timeout;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout))
        << c.name;
    // Absolute times were computed before earlier cases spent their time.
    if (c.timeout <= 0) {
      EXPECT_EQ(c.elapsed, vax::sim::Now() - start) << c.name;
    }
  }
}

TEST(Waits, AnyReturnsTheFirstSignalledIndexAndConsumesOnlyIt) {
  vax::World world;
  KEVENT events[3];
  for (auto& e : events)
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  KeSetEvent(&events[1], 0, FALSE);
  KeSetEvent(&events[2], 0, FALSE);
  PVOID objects[3] = {&events[0], &events[1], &events[2]};
  LARGE_INTEGER poll{};
  EXPECT_EQ(STATUS_WAIT_0 + 1, KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode,
                                                        FALSE, &poll, nullptr));
  EXPECT_EQ(0, KeReadStateEvent(&events[1]));
  EXPECT_EQ(1, KeReadStateEvent(&events[2]));
}

TEST(Waits, AllWaitsForEveryObjectAndConsumesThemTogether) {
  vax::World world;
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, TRUE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};
  LARGE_INTEGER poll{};
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode,
                                                     FALSE, &poll, nullptr));
  EXPECT_EQ(1, KeReadStateEvent(&a)) << "a failed WaitAll consumes nothing";
  auto setter = [&] { KeSetEvent(&b, 0, FALSE); };
  Spawned s = SpawnSystemThread(&setter);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode,
                                                     FALSE, nullptr, nullptr));
  EXPECT_EQ(0, KeReadStateEvent(&a));
  EXPECT_EQ(0, KeReadStateEvent(&b));
  Join(s);
}

TEST(Waits, DelayPassesVirtualTimeOnly) {
  vax::World world;
  vax::sim::Ticks start = vax::sim::Now();
  LARGE_INTEGER interval = Relative(10 * 1000 * kTicksPerMs);  // ten seconds
  EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
  EXPECT_EQ(10 * 1000 * kTicksPerMs, vax::sim::Now() - start);
}

struct DpcRecord {
  int runs = 0;
  KIRQL irql = PASSIVE_LEVEL;
  vax::sim::Ticks at = 0;
  KEVENT done;
};

void NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* r = static_cast<DpcRecord*>(context);
  r->runs++;
  r->irql = KeGetCurrentIrql();
  r->at = vax::sim::Now();
  KeSetEvent(&r->done, 0, FALSE);
}

TEST(Timers, SetAndCancelReportWhetherTheTimerWasQueued) {
  vax::World world;
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due = Relative(100 * kTicksPerMs);
  EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
  EXPECT_TRUE(KeSetTimer(&timer, due, nullptr)) << "setting a queued timer requeues it";
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(Timers, ExpirySignalsTheTimerAndRunsItsDpcAtDispatchLevel) {
  vax::World world;
  DpcRecord record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  KTIMER timer;
  KeInitializeTimer(&timer);
  vax::sim::Ticks start = vax::sim::Now();
  KeSetTimer(&timer, Relative(5 * kTicksPerMs), &dpc);
  // Re-setting drops the old due time.
  KeSetTimer(&timer, Relative(30 * kTicksPerMs), &dpc);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS,
            KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(30 * kTicksPerMs, record.at - start);
  EXPECT_EQ(DISPATCH_LEVEL, record.irql);
  EXPECT_EQ(1, record.runs);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "an expired timer has left the queue";
}

// Whatever the interleaving with the DPC threads, a DPC runs exactly once
// per insert that queued it and was not taken back by KeRemoveQueueDpc:
// inserting a queued DPC does nothing, removing an unqueued one does nothing.
TEST(Dpcs, RunsOncePerSuccessfulInsertNotRemoved) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    vax::WorldOptions options;
    options.sched.seed = seed;
    options.announce = false;
    vax::World world(options);
    DpcRecord record;
    KeInitializeEvent(&record.done, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    int queued = 0, removed = 0;
    for (int i = 0; i < 30; ++i) {
      if (KeInsertQueueDpc(&dpc, nullptr, nullptr))
        ++queued;
      if (i % 3 == 0 && KeRemoveQueueDpc(&dpc))
        ++removed;
    }
    world.RunFor(kTicksPerMs);
    EXPECT_EQ(queued - removed, record.runs) << "seed " << seed;
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc)) << "nothing left queued, seed " << seed;
  }
}

TEST(Threads, PriorityTerminationAndWaitingOnTheThreadObject) {
  vax::World world;
  KPRIORITY seen_old = -1;
  bool after_terminate = false;
  auto body = [&] {
    seen_old = KeSetPriorityThread(KeGetCurrentThread(), 18);
    PsTerminateSystemThread(STATUS_SUCCESS);
    after_terminate = true;
  };
  Spawned s = SpawnSystemThread(&body);
  Join(s);
  EXPECT_EQ(8, seen_old);
  EXPECT_FALSE(after_terminate);
  EXPECT_EQ(18, KeQueryPriorityThread(static_cast<PKTHREAD>(s.thread)));
}

TEST(FastMutex, SerialisesOwnersAndRaisesToApcLevel) {
  vax::World world;
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  int inside = 0, max_inside = 0;
  KIRQL irql_inside = PASSIVE_LEVEL;
  auto body = [&] {
    for (int i = 0; i < 5; ++i) {
      ExAcquireFastMutex(&mutex);
      irql_inside = KeGetCurrentIrql();
      max_inside = std::max(max_inside, ++inside);
      vax::sim::Yield("inside");
      --inside;
      ExReleaseFastMutex(&mutex);
    }
  };
  Spawned a = SpawnSystemThread(&body), b = SpawnSystemThread(&body);
  Join(a);
  Join(b);
  EXPECT_EQ(1, max_inside);
  EXPECT_EQ(APC_LEVEL, irql_inside);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST(SpinLocks, SerialiseHoldersAtDispatchLevel) {
  vax::World world;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LONG counter = 0;
  auto body = [&] {
    for (int i = 0; i < 20; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
      LONG seen = counter;
      vax::sim::Yield("inside");
      counter = seen + 1;
      KeReleaseSpinLock(&lock, old);
    }
  };
  Spawned a = SpawnSystemThread(&body), b = SpawnSystemThread(&body);
  Join(a);
  Join(b);
  EXPECT_EQ(40, counter);
}

// Each planted fault must be caught and named.
TEST(KernelChecks, PlantedFaultsAreCaught) {
  using vax::kernel::Rule;
  struct Case {
    const char* name;
    Rule rule;
    void (*plant)();
  };
  const Case cases[] = {
      {"wait with a timeout at DISPATCH_LEVEL", Rule::kWaitAtDispatch,
       [] {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         LARGE_INTEGER t;
         t.QuadPart = -kTicksPerMs;
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
         KfLowerIrql(old);
       }},
      {"spin lock released at the wrong IRQL", Rule::kSpinLockWrongIrql,
       [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KfAcquireSpinLock(&lock);
         KfLowerIrql(PASSIVE_LEVEL);
         KfRaiseIrql(APC_LEVEL);
         KfReleaseSpinLock(&lock, old);
       }},
      {"spin lock released by another thread", Rule::kSpinLockWrongOwner,
       [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KfAcquireSpinLock(&lock);
         auto other = [] {
           KIRQL raised = KfRaiseIrql(DISPATCH_LEVEL);
           KeReleaseSpinLockFromDpcLevel(&lock);
           KfLowerIrql(raised);
         };
         Join(SpawnSystemThread(&other));
         KeReleaseSpinLockFromDpcLevel(&lock);
         KfLowerIrql(old);
         lock = 0;
       }},
      {"spin lock held across a call down to the USB stack", Rule::kSpinLockAcrossUsbCall,
       [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KfAcquireSpinLock(&lock);
         vax::kernel::CheckNoSpinLockHeld("IOCTL_INTERNAL_USB_SUBMIT_URB");
         KfReleaseSpinLock(&lock, old);
       }},
      {"IRQL lowered above the current level", Rule::kIrqlMisuse,
       [] { KfLowerIrql(DISPATCH_LEVEL); }},
      {"timer and DPC of a driver still queued at its unload", Rule::kLeakAtUnload,
       [] {
         static KTIMER timer;
         static KDPC dpc;
         PDRIVER_OBJECT driver = vax::kernel::CreateDriverObject(u"Ticking");
         {
           vax::kernel::DriverScope scope(driver);
           KeInitializeDpc(
               &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
           KeInitializeTimer(&timer);
           LARGE_INTEGER due;
           due.QuadPart = -1000 * kTicksPerMs;
           KeSetTimer(&timer, due, &dpc);
         }
         vax::kernel::UnloadDriver(driver);
       }},
      {"device deleted with a timer still set in its extension", Rule::kDeletedDeviceUse,
       [] {
         PDRIVER_OBJECT driver = vax::kernel::CreateDriverObject(u"Careless");
         vax::kernel::DriverScope scope(driver);
         PDEVICE_OBJECT device;
         IoCreateDevice(driver, sizeof(KTIMER), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         auto* timer = static_cast<PKTIMER>(device->DeviceExtension);
         KeInitializeTimer(timer);
         LARGE_INTEGER due;
         due.QuadPart = -1000 * kTicksPerMs;
         KeSetTimer(timer, due, nullptr);
         IoDeleteDevice(device);
       }},
      {"thread of a driver alive at its unload", Rule::kLeakAtUnload,
       [] {
         static KEVENT never;
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         PDRIVER_OBJECT driver = vax::kernel::CreateDriverObject(u"Leaky");
         {
           vax::kernel::DriverScope scope(driver);
           HANDLE h;
           PsCreateSystemThread(
               &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
               [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
               nullptr);
           ZwClose(h);
         }
         vax::sim::Yield("let it start");
         vax::kernel::UnloadDriver(driver);
       }},
  };
  for (const Case& c : cases) {
    vax::World world;
    vax::kernel::RecordingSink sink;
    c.plant();
    EXPECT_TRUE(sink.Saw(c.rule)) << c.name;
  }
}

TEST(Threads, CreationFailureCanBeInjected) {
  vax::World world;
  vax::kernel::FailThreadCreations(1);
  HANDLE h;
  auto nothing = [](PVOID) {};
  EXPECT_EQ(
      STATUS_INSUFFICIENT_RESOURCES,
      PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, nothing, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                 nothing, nullptr));
  ZwClose(h);
  world.RunFor(kTicksPerMs);
}

}  // namespace
