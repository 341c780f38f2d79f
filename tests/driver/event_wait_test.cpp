// Serial events and the wait-on-mask request: events recorded against the
// mask, a parked wait completed through its DPC, by a new mask, by
// cancellation, and all of these racing a producer, with the driver checks
// armed throughout (a double completion, a completion with a cancel routine
// set or under the cancel spin lock stops the test).
#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "sim/scheduler.h"

namespace vax::test {
namespace {

// Stands in for the control dispatcher: the two wait controls go to the
// routines it will call, and it completes what they do not park.
NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS)
    return status;
  PPORT_EXTENSION port = PortOf(device);
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_WAIT_ON_MASK:
      status = WaitOnMask(device, irp);
      if (status == STATUS_PENDING)
        return status;
      break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
      irp->IoStatus.Status =
          SetWaitMask(port, *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer));
      break;
    default:
      irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      break;
  }
  return CompleteRequest(port, irp, kBoostRefused);
}

// What every producer does: records the events the mask has, then delivers.
void Raise(PPORT_EXTENSION port, ULONG events) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  port->PendingEvents |= events & port->WaitMask;
  DeliverEvents(port);
  KeLowerIrql(irql);
}

// Every event some part of the driver raises.
constexpr ULONG kRaisedEvents = 0x0FFF & ~(SERIAL_EV_BREAK | SERIAL_EV_PERR);

struct Wait {
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  NTSTATUS final_status = STATUS_PENDING;
  int completions = 0;
  IO_STATUS_BLOCK io_status{};
  KEVENT done;
  ULONG result = 0xDEADBEEF;
};

class EventWaits : public DriverTest {
 protected:
  void Start() {
    Load();
    plugged_ = Plug();
    ASSERT_EQ(STATUS_SUCCESS, plugged_.arrival);
    device_ = PortFor(plugged_);
    port_ = PortOf(device_);
    port_->OpenState = kPortOpen;
    driver_->object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDispatch;
  }

  void TearDown() override {
    if (device_ != nullptr) {
      AbortWait(device_);
      EXPECT_EQ(nullptr, port_->CurrentWaitIrp);
      EXPECT_EQ(0, Settled());
    }
    DriverTest::TearDown();
  }

  Wait* Build() {
    waits_.push_back(std::make_unique<Wait>());
    Wait* w = waits_.back().get();
    KeInitializeEvent(&w->done, NotificationEvent, FALSE);
    w->irp = kernel::BuildDeviceControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, device_, nullptr, nullptr,
                                               0, &w->result, sizeof(ULONG), false, &w->io_status,
                                               &w->done);
    EXPECT_NE(nullptr, w->irp);
    kernel::SetRequestFinisher(w->irp, [w](PIRP irp) {
      w->final_status = irp->IoStatus.Status;
      ++w->completions;
    });
    return w;
  }
  Wait* WaitOn() {
    Wait* w = Build();
    w->returned = IoCallDriver(device_, w->irp);
    return w;
  }
  NTSTATUS SetMask(ULONG mask) {
    IO_STATUS_BLOCK io_status{};
    PIRP irp =
        kernel::BuildDeviceControlRequest(IOCTL_SERIAL_SET_WAIT_MASK, device_, nullptr, &mask,
                                          sizeof(mask), nullptr, 0, false, &io_status, nullptr);
    return IoCallDriver(device_, irp);
  }
  // Lets the wait's DPC run; false when it is still pending a simulated
  // second later.
  static bool Finished(Wait* w) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10'000'000;
    return KeWaitForSingleObject(&w->done, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
  }
  // PendingIrpCount once a DPC that completed a request has come back from
  // the completion.
  LONG Settled() const {
    for (int i = 0; i < 100 && port_->PendingIrpCount != 0; ++i)
      sim::SleepFor(sim::kTicksPerMs, "the DPC returns");
    return port_->PendingIrpCount;
  }
  void Cancel(Wait* w) {
    if (kernel::PinRequest(w->irp)) {
      IoCancelIrp(w->irp);
      kernel::UnpinRequest(w->irp);
    }
  }
  static void ExpectCompleted(Wait* w, NTSTATUS status, ULONG result) {
    EXPECT_EQ(1, w->completions);
    EXPECT_EQ(status, w->final_status);
    EXPECT_EQ(4u, w->io_status.Information);
    // A failed request's result never reaches the caller's buffer.
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(result, w->result);
    }
  }

  Plugged plugged_;
  PDEVICE_OBJECT device_ = nullptr;
  PPORT_EXTENSION port_ = nullptr;
  std::vector<std::unique_ptr<Wait>> waits_;
};

TEST_F(EventWaits, EventsAreRememberedOnlyWhenTheMaskHadThem) {
  struct Case {
    const char* name;
    ULONG mask_when_raised, raised, mask_at_wait;
    ULONG found;  // the wait's immediate result; 0: it parks
  };
  const Case cases[] = {
      {"received bytes before the wait", SERIAL_EV_RXCHAR, SERIAL_EV_RXCHAR, SERIAL_EV_RXCHAR,
       SERIAL_EV_RXCHAR},
      {"raised with no mask", 0, kRaisedEvents, SERIAL_EV_RXCHAR, 0},
      {"only the masked ones", SERIAL_EV_CTS | SERIAL_EV_RING, SERIAL_EV_CTS | SERIAL_EV_DSR,
       SERIAL_EV_CTS | SERIAL_EV_RING, SERIAL_EV_CTS},
      {"new mask forgets the rest", SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY,
       SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY, SERIAL_EV_TXEMPTY | SERIAL_EV_ERR, SERIAL_EV_TXEMPTY},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(STATUS_SUCCESS, SetMask(c.mask_when_raised));
    for (int i = 0; i < 3; ++i)
      Raise(port_, c.raised);
    ASSERT_EQ(STATUS_SUCCESS, SetMask(c.mask_at_wait));
    Wait* w = WaitOn();
    if (c.found != 0) {
      EXPECT_EQ(STATUS_SUCCESS, w->returned);
      ExpectCompleted(w, STATUS_SUCCESS, c.found);
      EXPECT_EQ(0u, port_->PendingEvents);
      continue;
    }
    EXPECT_EQ(STATUS_PENDING, w->returned);
    EXPECT_EQ(w->irp, port_->CurrentWaitIrp);
    Raise(port_, c.mask_at_wait);
    ASSERT_TRUE(Finished(w));
    ExpectCompleted(w, STATUS_SUCCESS, c.mask_at_wait);
  }
}

TEST_F(EventWaits, AParkedWaitCompletesThroughItsDpc) {
  struct Case {
    const char* name;
    ULONG mask, raised;
    bool tx_empty;  // raised through SignalTxEmpty
    ULONG result;   // 0: stays parked
  };
  const Case cases[] = {
      {"byte received", SERIAL_EV_RXCHAR, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG, false,
       SERIAL_EV_RXCHAR},
      {"event character", SERIAL_EV_RXFLAG, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG, false,
       SERIAL_EV_RXFLAG},
      {"write queue ran empty", SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY, 0, true, SERIAL_EV_TXEMPTY},
      {"not asked for", SERIAL_EV_RXCHAR, 0, true, 0},
      {"break is never raised", SERIAL_EV_BREAK | SERIAL_EV_PERR, kRaisedEvents, true, 0},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(STATUS_SUCCESS, SetMask(c.mask));
    Wait* w = WaitOn();
    ASSERT_EQ(STATUS_PENDING, w->returned);
    if (c.tx_empty)
      SignalTxEmpty(port_);
    Raise(port_, c.raised);
    EXPECT_EQ(c.result != 0, Finished(w));
    if (c.result == 0) {
      EXPECT_EQ(w->irp, port_->CurrentWaitIrp);
      EXPECT_EQ(0, w->completions);
      AbortWait(device_);
      ExpectCompleted(w, STATUS_CANCELLED, 0);
      continue;
    }
    ExpectCompleted(w, STATUS_SUCCESS, c.result);
    EXPECT_EQ(nullptr, port_->CurrentWaitIrp);
    EXPECT_EQ(0u, port_->PendingEvents);
  }
}

TEST_F(EventWaits, RefusalsLeaveTheParkedWaitAlone) {
  Start();
  Wait* unmasked = WaitOn();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, unmasked->returned);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, unmasked->final_status);

  // Cancelled before it could be parked: completed at once, never parked.
  ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
  Wait* cancelled = Build();
  cancelled->irp->Cancel = TRUE;
  cancelled->returned = IoCallDriver(device_, cancelled->irp);
  EXPECT_EQ(STATUS_CANCELLED, cancelled->final_status);
  EXPECT_EQ(nullptr, port_->CurrentWaitIrp);

  Wait* parked = WaitOn();
  ASSERT_EQ(STATUS_PENDING, parked->returned);
  Wait* second = WaitOn();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, second->final_status);
  EXPECT_EQ(parked->irp, port_->CurrentWaitIrp);

  Raise(port_, SERIAL_EV_RXCHAR);
  ASSERT_TRUE(Finished(parked));
  ExpectCompleted(parked, STATUS_SUCCESS, SERIAL_EV_RXCHAR);
  EXPECT_EQ(0, Settled());
}

TEST_F(EventWaits, ANewMaskOrACancelEndsTheParkedWaitWithNoEvents) {
  enum class End { kNewMask, kCancel, kAbort };
  struct Case {
    const char* name;
    End end;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"new mask", End::kNewMask, STATUS_SUCCESS},
      {"IoCancelIrp", End::kCancel, STATUS_CANCELLED},
      {"cleanup", End::kAbort, STATUS_CANCELLED},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));
    Wait* w = WaitOn();
    ASSERT_EQ(STATUS_PENDING, w->returned);
    if (c.end == End::kNewMask)
      EXPECT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_DSR));
    else if (c.end == End::kCancel)
      Cancel(w);
    else
      AbortWait(device_);
    ASSERT_TRUE(Finished(w));
    ExpectCompleted(w, c.status, 0);
    EXPECT_EQ(nullptr, port_->CurrentWaitIrp);

    // The slot is free again and the next wait parks.
    Wait* next = WaitOn();
    EXPECT_EQ(STATUS_PENDING, next->returned);
    // A run of the DPC left over from the wait just ended, already off the
    // DPC queue when it was cancelled, must not end the new one.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    WaitSatisfied(&port_->WaitCompleteDpc, port_, nullptr, nullptr);
    KeLowerIrql(irql);
    EXPECT_EQ(next->irp, port_->CurrentWaitIrp);
    EXPECT_EQ(0, next->completions);
    Raise(port_, SERIAL_EV_DSR);
    ASSERT_TRUE(Finished(next));
    ExpectCompleted(next, STATUS_SUCCESS, SERIAL_EV_DSR);
  }
}

// A producer raising events at DISPATCH_LEVEL, as the reader and status
// threads do, while the application waits, cancels and changes the mask.
struct Producer {
  PPORT_EXTENSION port;
  int rounds;
};
void NTAPI Produce(PVOID context) {
  auto* producer = static_cast<Producer*>(context);
  for (int i = 0; i < producer->rounds; ++i) {
    Raise(producer->port, i % 2 ? SERIAL_EV_RXCHAR : SERIAL_EV_TXEMPTY);
    sim::Yield("between events");
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(EventWaits, WaitsRacingEventsEndExactlyOnce) {
  constexpr ULONG kMask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
  Start();
  ASSERT_EQ(STATUS_SUCCESS, SetMask(kMask));
  Producer producer{port_, 60};
  HANDLE handle = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Produce, &producer));
  PVOID thread = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr));
  ZwClose(handle);

  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    Wait* w = WaitOn();
    ASSERT_TRUE(w->returned == STATUS_PENDING || w->returned == STATUS_SUCCESS)
        << std::hex << w->returned;
    for (int i = 0; i < round % 4; ++i)
      sim::Yield("let the producer run");
    switch (round % 3) {
      case 0:
        Cancel(w);
        break;
      case 1:
        SetMask(kMask);
        break;
      default:
        AbortWait(device_);
        break;
    }
    ASSERT_TRUE(Finished(w));
    EXPECT_EQ(1, w->completions);
    EXPECT_EQ(4u, w->io_status.Information);
    if (w->final_status != STATUS_CANCELLED) {
      EXPECT_EQ(STATUS_SUCCESS, w->final_status) << std::hex << w->final_status;
      EXPECT_EQ(0u, w->result & ~kMask);
    }
  }
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);

  // No event is left behind while a wait is parked.
  Wait* last = WaitOn();
  if (last->returned == STATUS_PENDING) {
    Raise(port_, SERIAL_EV_RXCHAR);
    ASSERT_TRUE(Finished(last));
  }
  EXPECT_EQ(STATUS_SUCCESS, last->final_status);
  EXPECT_EQ(0u, port_->PendingEvents);
}

}  // namespace
}  // namespace vax::test
