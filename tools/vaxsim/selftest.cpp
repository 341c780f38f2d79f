// vaxsim selftest: a canned concurrent workload on the kernel stand-in that
// checks its own invariants and prints a digest of the run.
//
// Workload: system threads at several priorities trading synchronization and
// notification events; a timer whose DPC re-arms itself every millisecond; a
// two-device stack (a filter over a function device) through which threads
// send IRPs with completion routines, the lower device pending half of them
// until a timer DPC completes them, while other threads cancel them, so
// cancellation races completion.
#include "vaxsim/selftest.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/checks.h"
#include "nt/kernel.h"
#include "world/world.h"

namespace vax::tools {
namespace {

constexpr ULONG kIoctlWork = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr int kPendingSlots = 8;

// Shared by every piece of the workload; fields say who writes them.
struct Workload {
  vax::sim::Ticks end = 0;

  // Device stack.
  DRIVER_OBJECT lower_driver{};
  DRIVER_OBJECT upper_driver{};
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
  PDEVICE_OBJECT upper_next = nullptr;
  KSPIN_LOCK slots_lock = 0;
  PIRP slots[kPendingSlots] = {};  // pended IRPs; slots_lock and the cancel spin lock
  KTIMER completer_timer{};
  KDPC completer_dpc{};

  // Counters, interlocked.
  LONG sent = 0;
  LONG completed = 0;          // completion routine calls in the upper device
  LONG cancelled = 0;          // of which with STATUS_CANCELLED
  LONG finished_requests = 0;  // requests whose sender saw the final status
  LONG tick_dpcs = 0;
  LONG event_rounds = 0;

  // Periodic timer.
  KTIMER tick_timer{};
  KDPC tick_dpc{};
  KEVENT tick_event{};  // notification: set by each tick

  // Ping-pong between threads.
  KEVENT ping{};  // synchronization
  KEVENT pong{};  // synchronization
  bool failed = false;
  std::string failure;
};

Workload* g_work = nullptr;

void Fail(const std::string& why) {
  if (!g_work->failed)
    g_work->failure = why;
  g_work->failed = true;
}

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// ---- the lower device: completes at once or pends until the completer DPC

void NTAPI LowerCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL old;
  KeAcquireSpinLock(&g_work->slots_lock, &old);
  for (PIRP& slot : g_work->slots) {
    if (slot == irp)
      slot = nullptr;
  }
  KeReleaseSpinLock(&g_work->slots_lock, old);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG* value = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) || value == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  if ((*value & 1) == 0) {
    *value = *value * 3 + 1;
    irp->IoStatus.Information = sizeof(ULONG);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  KeAcquireSpinLockAtDpcLevel(&g_work->slots_lock);
  int free_slot = -1;
  for (int i = 0; i < kPendingSlots && free_slot < 0; ++i) {
    if (g_work->slots[i] == nullptr)
      free_slot = i;
  }
  if (free_slot < 0 || irp->Cancel) {
    KeReleaseSpinLockFromDpcLevel(&g_work->slots_lock);
    IoReleaseCancelSpinLock(cancel_irql);
    irp->IoStatus.Status = free_slot < 0 ? STATUS_DEVICE_BUSY : STATUS_CANCELLED;
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  g_work->slots[free_slot] = irp;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, LowerCancel);
  KeReleaseSpinLockFromDpcLevel(&g_work->slots_lock);
  IoReleaseCancelSpinLock(cancel_irql);
  KeSetTimer(&g_work->completer_timer, RelativeMs(2), &g_work->completer_dpc);
  return STATUS_PENDING;
}

// Completes every pended IRP whose cancel routine it can still take back.
void NTAPI CompleterDpc(PKDPC, PVOID, PVOID, PVOID) {
  for (int i = 0; i < kPendingSlots; ++i) {
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    KeAcquireSpinLockAtDpcLevel(&g_work->slots_lock);
    PIRP irp = g_work->slots[i];
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) {
      irp = nullptr;  // the cancel routine owns it now
    } else if (irp != nullptr) {
      g_work->slots[i] = nullptr;
    }
    KeReleaseSpinLockFromDpcLevel(&g_work->slots_lock);
    IoReleaseCancelSpinLock(cancel_irql);
    if (irp == nullptr)
      continue;
    ULONG* value = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    *value = *value * 3 + 1;
    irp->IoStatus.Information = sizeof(ULONG);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// ---- the upper device: a filter with a completion routine

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned)
    IoMarkIrpPending(irp);
  InterlockedIncrement(&g_work->completed);
  if (irp->IoStatus.Status == STATUS_CANCELLED)
    InterlockedIncrement(&g_work->cancelled);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(g_work->upper_next, irp);
}

// ---- threads

struct SenderArgs {
  int index;
};

// The sender owns its IRP from allocation to IoFreeIrp: the completion
// routine hands it back with STATUS_MORE_PROCESSING_REQUIRED, so cancelling
// it can never touch a request that has already been freed.
NTSTATUS NTAPI SenderCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void NTAPI SenderThread(PVOID context) {
  int index = static_cast<SenderArgs*>(context)->index;
  ULONG n = static_cast<ULONG>(index) * 7919u;
  while (vax::sim::Now() < g_work->end && !g_work->failed) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ULONG value = ++n;
    ULONG expected = value * 3 + 1;
    PIRP irp = IoAllocateIrp(g_work->upper->StackSize, FALSE);
    if (irp == nullptr) {
      Fail("IoAllocateIrp failed");
      break;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kIoctlWork;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(value);
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(value);
    irp->AssociatedIrp.SystemBuffer = &value;
    IoSetCompletionRoutine(irp, SenderCompletion, &done, TRUE, TRUE, TRUE);
    InterlockedIncrement(&g_work->sent);
    if (IoCallDriver(g_work->upper, irp) == STATUS_PENDING && (n % 3) == 0) {
      LARGE_INTEGER wait = RelativeMs(1);
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      IoCancelIrp(irp);  // races the completer DPC
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    if (status == STATUS_SUCCESS && value != expected) {
      Fail("a completed request carried the wrong result");
    }
    if (status != STATUS_SUCCESS && status != STATUS_CANCELLED && status != STATUS_DEVICE_BUSY) {
      Fail("unexpected final status");
    }
    if (status == STATUS_DEVICE_BUSY) {
      // Every slot of the lower device is taken: back off, or a sender that
      // never blocks would keep virtual time from moving.
      LARGE_INTEGER backoff = RelativeMs(1);
      KeDelayExecutionThread(KernelMode, FALSE, &backoff);
    }
    InterlockedIncrement(&g_work->finished_requests);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void NTAPI PingThread(PVOID) {
  while (vax::sim::Now() < g_work->end) {
    KeSetEvent(&g_work->ping, 0, FALSE);
    LARGE_INTEGER timeout = RelativeMs(5);
    KeWaitForSingleObject(&g_work->pong, Executive, KernelMode, FALSE, &timeout);
    InterlockedIncrement(&g_work->event_rounds);
  }
  KeSetEvent(&g_work->ping, 0, FALSE);
}

void NTAPI PongThread(PVOID) {
  while (vax::sim::Now() < g_work->end) {
    LARGE_INTEGER timeout = RelativeMs(5);
    if (KeWaitForSingleObject(&g_work->ping, Executive, KernelMode, FALSE, &timeout) ==
        STATUS_SUCCESS) {
      KeSetEvent(&g_work->pong, 0, FALSE);
    }
    // Also follow the periodic tick with a notification-event wait.
    KeWaitForSingleObject(&g_work->tick_event, Executive, KernelMode, FALSE, &timeout);
    KeClearEvent(&g_work->tick_event);
  }
}

void NTAPI TickDpc(PKDPC, PVOID, PVOID, PVOID) {
  InterlockedIncrement(&g_work->tick_dpcs);
  KeSetEvent(&g_work->tick_event, 0, FALSE);
  if (vax::sim::Now() < g_work->end) {
    KeSetTimer(&g_work->tick_timer, RelativeMs(1), &g_work->tick_dpc);
  }
}

PVOID StartThread(PKSTART_ROUTINE routine, PVOID context, KPRIORITY priority) {
  HANDLE handle;
  if (PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                           context) != STATUS_SUCCESS) {
    Fail("PsCreateSystemThread failed");
    return nullptr;
  }
  PVOID thread = nullptr;
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
  ZwClose(handle);
  KeSetPriorityThread(static_cast<PKTHREAD>(thread), priority);
  return thread;
}

bool BuildStack(Workload& w) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
    w.lower_driver.MajorFunction[i] = LowerDispatch;
    w.upper_driver.MajorFunction[i] = UpperDispatch;
  }
  if (IoCreateDevice(&w.lower_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &w.lower) !=
      STATUS_SUCCESS) {
    return false;
  }
  w.lower->Flags |= DO_BUFFERED_IO;
  w.lower->Flags &= ~DO_DEVICE_INITIALIZING;
  if (IoCreateDevice(&w.upper_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &w.upper) !=
      STATUS_SUCCESS) {
    return false;
  }
  w.upper->Flags |= DO_BUFFERED_IO;
  w.upper_next = IoAttachDeviceToDeviceStack(w.upper, w.lower);
  w.upper->Flags &= ~DO_DEVICE_INITIALIZING;
  return w.upper_next == w.lower;
}

}  // namespace

int RunSelftest(const SelftestOptions& options) {
  vax::WorldOptions world_options;
  world_options.sched.seed = options.seed;
  if (options.free)
    world_options.sched.mode = vax::sim::Mode::kFree;
  world_options.announce = false;

  const auto real_start = std::chrono::steady_clock::now();
  std::uint64_t digest = 0;
  std::uint64_t decisions = 0;
  vax::sim::Ticks virtual_elapsed = 0;
  bool ok = true;
  std::string report;
  {
    vax::World world(world_options);
    std::printf("selftest: %s threads=%d virtual_ms=%lld\n", world_options.sched.Describe().c_str(),
                options.threads, static_cast<long long>(options.virtual_ms));
    Workload work;
    g_work = &work;
    vax::sim::Ticks start = vax::sim::Now();
    work.end = start + options.virtual_ms * vax::sim::kTicksPerMs;
    KeInitializeSpinLock(&work.slots_lock);
    KeInitializeEvent(&work.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&work.pong, SynchronizationEvent, FALSE);
    KeInitializeEvent(&work.tick_event, NotificationEvent, FALSE);
    KeInitializeTimer(&work.tick_timer);
    KeInitializeDpc(&work.tick_dpc, TickDpc, nullptr);
    KeInitializeTimer(&work.completer_timer);
    KeInitializeDpc(&work.completer_dpc, CompleterDpc, nullptr);

    if (!BuildStack(work))
      Fail("could not build the device stack");
    KeSetTimer(&work.tick_timer, RelativeMs(1), &work.tick_dpc);

    std::vector<SenderArgs> args(options.threads);
    std::vector<PVOID> threads;
    static const KPRIORITY kPriorities[] = {8, 12, 16, 17, 18};
    for (int i = 0; i < options.threads && !work.failed; ++i) {
      args[i].index = i + 1;
      threads.push_back(StartThread(SenderThread, &args[i], kPriorities[i % 5]));
    }
    threads.push_back(StartThread(PingThread, nullptr, 16));
    threads.push_back(StartThread(PongThread, nullptr, 18));
    for (PVOID t : threads) {
      if (t)
        KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
    }
    // Let the last tick and completer DPCs drain.
    LARGE_INTEGER settle = RelativeMs(10);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    KeCancelTimer(&work.tick_timer);
    KeCancelTimer(&work.completer_timer);

    if (work.completed != work.sent) {
      Fail("completion routine calls (" + std::to_string(work.completed) +
           ") differ from requests sent (" + std::to_string(work.sent) + ")");
    }
    if (work.finished_requests != work.sent)
      Fail("a sender lost a request");
    if (work.tick_dpcs < options.virtual_ms / 2)
      Fail("the periodic DPC fell behind");
    for (PIRP irp : work.slots) {
      if (irp)
        Fail("a pended request was never completed");
    }
    IoDetachDevice(work.lower);
    IoDeleteDevice(work.upper);
    IoDeleteDevice(work.lower);

    ok = !work.failed;
    report = work.failure;
    std::printf("selftest: requests %d (cancelled %d) ticks %d event rounds %d\n", work.sent,
                work.cancelled, work.tick_dpcs, work.event_rounds);
    virtual_elapsed = vax::sim::Now() - start;
    digest = world.scheduler().Digest();
    decisions = world.scheduler().Decisions();
    g_work = nullptr;
  }
  const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - real_start)
                           .count();
  if (!ok)
    std::printf("selftest: FAILED: %s\n", report.c_str());
  if (options.free) {
    std::printf("digest - decisions - virtual_ms %lld real_ms %lld\n",
                static_cast<long long>(virtual_elapsed / vax::sim::kTicksPerMs),
                static_cast<long long>(real_ms));
  } else {
    std::printf("digest %016" PRIx64 " decisions %" PRIu64 " virtual_ms %lld real_ms %lld\n",
                digest, decisions, static_cast<long long>(virtual_elapsed / vax::sim::kTicksPerMs),
                static_cast<long long>(real_ms));
  }
  return ok ? 0 : 1;
}

}  // namespace vax::tools
