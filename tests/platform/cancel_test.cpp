// Cancellation against the documented behaviour: the cancel spin lock,
// IoSetCancelRoutine, IoCancelIrp with CancelIrql, thread exit.
#include <gmock/gmock.h>

#include "io_fixture.h"

namespace {

using vax::kernel::CurrentThread;
using vax::kernel::RecordingSink;
using vax::kernel::Rule;
using vax::test::Complete;
using vax::test::IoTest;

// A driver that queues one request with a cancel routine, the way a serial
// driver holds a read: the cancel routine unlinks it and completes it
// STATUS_CANCELLED after releasing the cancel spin lock at CancelIrql.
struct Queue {
  PIRP held = nullptr;
  int cancelled = 0;
  PDEVICE_OBJECT cancel_device = nullptr;
  KIRQL irql_in_cancel = 0;
  bool lock_held_in_cancel = false;
  KIRQL cancel_irql = 0xFF;
};
Queue* g_queue = nullptr;  // cancel routines get no context

void NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
  Queue& queue = *g_queue;
  ++queue.cancelled;
  queue.cancel_device = device;
  queue.irql_in_cancel = KeGetCurrentIrql();
  queue.lock_held_in_cancel = CurrentThread()->holds_cancel_lock;
  queue.cancel_irql = irp->CancelIrql;
  queue.held = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

class Cancel : public IoTest {
 protected:
  Cancel() {
    g_queue = &queue_;
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    device_ = AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      queue_.held = irp;
      IoSetCancelRoutine(irp, CancelQueued);
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    });
  }
  ~Cancel() override { g_queue = nullptr; }

  PIRP Send() {
    PIRP irp = IoBuildDeviceIoControlRequest(0x1B0058, device_, nullptr, 0, nullptr, 0, FALSE,
                                             &event_, &iosb_);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(device_, irp));
    return irp;
  }

  Queue queue_;
  PDEVICE_OBJECT device_ = nullptr;
  KEVENT event_;
  IO_STATUS_BLOCK iosb_{};
};

TEST_F(Cancel, SetCancelRoutineExchangesAndReturnsThePreviousRoutine) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_EQ(nullptr, IoSetCancelRoutine(irp, CancelQueued));
  EXPECT_EQ(CancelQueued, IoSetCancelRoutine(irp, nullptr));
  EXPECT_EQ(nullptr, IoSetCancelRoutine(irp, nullptr));
  IoFreeIrp(irp);
}

TEST_F(Cancel, TheCancelSpinLockRaisesToDispatchAndRestores) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  EXPECT_EQ(PASSIVE_LEVEL, irql);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  EXPECT_TRUE(CurrentThread()->holds_cancel_lock);
  IoReleaseCancelSpinLock(irql);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  EXPECT_FALSE(CurrentThread()->holds_cancel_lock);
}

// The routine runs with the cancel spin lock held, at DISPATCH_LEVEL, with
// CancelIrql the caller's IRQL and the holding device as argument.
TEST_F(Cancel, CancelIrpCallsTheRoutineUnderTheLockWithTheCallersIrql) {
  for (KIRQL caller : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
    SCOPED_TRACE(testing::Message() << "caller at IRQL " << int(caller));
    queue_ = Queue{};
    KeClearEvent(&event_);
    PIRP irp = Send();
    KIRQL old;
    KeRaiseIrql(caller, &old);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeLowerIrql(old);
    EXPECT_EQ(1, queue_.cancelled);
    EXPECT_EQ(device_, queue_.cancel_device);
    EXPECT_EQ(DISPATCH_LEVEL, queue_.irql_in_cancel);
    EXPECT_TRUE(queue_.lock_held_in_cancel);
    EXPECT_EQ(caller, queue_.cancel_irql);
    EXPECT_EQ(STATUS_CANCELLED, iosb_.Status);
    EXPECT_EQ(1, KeReadStateEvent(&event_));
  }
}

// With no routine set, IoCancelIrp only marks the IRP: the driver finds
// Irp->Cancel when it next looks.
TEST_F(Cancel, CancelIrpWithoutARoutineLeavesTheIrpMarked) {
  PIRP irp = Send();
  PDRIVER_CANCEL routine;
  {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    routine = IoSetCancelRoutine(irp, nullptr);  // the driver starts working on it
    IoReleaseCancelSpinLock(irql);
  }
  EXPECT_EQ(CancelQueued, routine);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(0, queue_.cancelled);
  Complete(irp, STATUS_SUCCESS);
  EXPECT_EQ(STATUS_SUCCESS, iosb_.Status);
}

TEST_F(Cancel, ThreadExitCancelsTheRequestsTheThreadIssued) {
  Send();
  vax::kernel::CancelThreadIo(CurrentThread());
  EXPECT_EQ(1, queue_.cancelled);
  EXPECT_EQ(STATUS_CANCELLED, iosb_.Status);
}

TEST_F(Cancel, ACancelRoutineThatKeepsTheLockIsCaught) {
  RecordingSink sink;
  PIRP irp = Send();
  IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
  EXPECT_TRUE(IoCancelIrp(irp));
  ASSERT_EQ(1u, sink.violations().size());
  EXPECT_THAT(sink.violations()[0].message,
              testing::HasSubstr("without releasing the cancel spin lock"));
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  Complete(irp, STATUS_CANCELLED);
}

}  // namespace
