// Admission, completion and the request queues: requests issued as the I/O
// manager issues them reach a small stand-in of the read and write paths
// built on the queue layer, with the driver checks armed throughout (a
// double completion, a completion with a cancel routine set or under the
// cancel spin lock stops the test). Also the drain of the port's USB
// transfers.
#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "sim/scheduler.h"

namespace vax::test {
namespace {

// One lane of the stand-in: a queue, its current and armed slots, and
// whether its service arms the current request (waits with a cancel routine)
// or keeps it, as a thread owning a request does.
struct Lane {
  LIST_ENTRY PORT_EXTENSION::*queue;
  PIRP PORT_EXTENSION::*current;
  PIRP PORT_EXTENSION::*armed;
  RequestStartRoutine start;
  PDRIVER_CANCEL cancel;
  bool arm = true;
  int serves = 0;  // times the start routine ran
};

NTSTATUS ServeRead(PPORT_EXTENSION port);
NTSTATUS ServeWrite(PPORT_EXTENSION port);
void NTAPI CancelArmedRead(PDEVICE_OBJECT device, PIRP irp);
void NTAPI CancelArmedWrite(PDEVICE_OBJECT device, PIRP irp);

Lane read_lane{&PORT_EXTENSION::ReadQueue, &PORT_EXTENSION::CurrentReadIrp,
               &PORT_EXTENSION::ArmedReadIrp, ServeRead, CancelArmedRead};
Lane write_lane{&PORT_EXTENSION::WriteQueue, &PORT_EXTENSION::CurrentWriteIrp,
                &PORT_EXTENSION::ArmedWriteIrp, ServeWrite, CancelArmedWrite};

// Retires the lane's current request with the status it carries and starts
// the next one.
void RetireAndStartNext(PPORT_EXTENSION port, Lane& lane) {
  TakeNextRequest(&(port->*lane.current), &(port->*lane.queue), port);
  if (port->*lane.current != nullptr)
    lane.start(port);
}

NTSTATUS Serve(PPORT_EXTENSION port, Lane& lane) {
  ++lane.serves;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->*lane.current;
  if (irp->Cancel) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(irql);
    RetireAndStartNext(port, lane);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (lane.arm) {
    port->*lane.armed = irp;
    IoSetCancelRoutine(irp, lane.cancel);
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}
NTSTATUS ServeRead(PPORT_EXTENSION port) {
  return Serve(port, read_lane);
}
NTSTATUS ServeWrite(PPORT_EXTENSION port) {
  return Serve(port, write_lane);
}

void CancelArmed(PDEVICE_OBJECT device, PIRP irp, Lane& lane) {
  PPORT_EXTENSION port = PortOf(device);
  port->*lane.armed = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  RetireAndStartNext(port, lane);
}
void NTAPI CancelArmedRead(PDEVICE_OBJECT device, PIRP irp) {
  CancelArmed(device, irp, read_lane);
}
void NTAPI CancelArmedWrite(PDEVICE_OBJECT device, PIRP irp) {
  CancelArmed(device, irp, write_lane);
}

// What a DPC does when the armed request's data is there: takes it out of
// the armed state unless a canceller got there first. False when there was
// nothing to finish.
bool FinishArmed(PPORT_EXTENSION port, Lane& lane) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->*lane.armed;
  if (irp == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  port->*lane.armed = nullptr;
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
    IoReleaseCancelSpinLock(irql);  // the cancel routine runs next and retires it
    return false;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoReleaseCancelSpinLock(irql);
  RetireAndStartNext(port, lane);
  return true;
}

// What a thread owning an unarmed current request does before it next
// waits: it sees the Cancel flag.
void FinishOwned(PPORT_EXTENSION port, Lane& lane) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->*lane.current;
  irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
  IoReleaseCancelSpinLock(irql);
  RetireAndStartNext(port, lane);
}

void NTAPI CancelTestWait(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  port->CurrentWaitIrp = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteRequest(port, irp, kBoostQueued);
}

NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = AdmitRequest(device, irp);
  if (status != STATUS_SUCCESS)
    return status;
  PPORT_EXTENSION port = PortOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_READ)
    return StartOrQueue(device, irp, &port->ReadQueue, &port->CurrentReadIrp, ServeRead);
  if (stack->MajorFunction == IRP_MJ_WRITE)
    return StartOrQueue(device, irp, &port->WriteQueue, &port->CurrentWriteIrp, ServeWrite);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_XOFF_COUNTER:
      return StartOrQueue(device, irp, &port->WriteQueue, &port->CurrentWriteIrp, ServeWrite);
    case IOCTL_SERIAL_WAIT_ON_MASK: {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      irp->IoStatus.Status = STATUS_PENDING;
      port->CurrentWaitIrp = irp;
      IoSetCancelRoutine(irp, CancelTestWait);
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS:
      port->ErrorWord = 0;
      break;
    default:
      break;
  }
  return CompleteRequest(port, irp, kBoostRefused);
}

// A request as an application's I/O leaves it: what the dispatch returned
// and what the I/O manager saw at the final stage.
struct Request {
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  NTSTATUS final_status = STATUS_PENDING;
  int completions = 0;
  int order = -1;  // position among all completions of the test
  IO_STATUS_BLOCK io_status{};
  KEVENT done;
  UCHAR data[64] = {};
};

class RequestQueues : public DriverTest {
 protected:
  // A started, open port on a chip of `version`, its requests going to the
  // stand-in above.
  void Start(std::uint8_t version = 0x30) {
    read_lane.arm = write_lane.arm = true;
    read_lane.serves = write_lane.serves = 0;
    Load();
    ChipPlug plug;
    plug.version = version;
    plugged_ = Plug(plug);
    ASSERT_EQ(STATUS_SUCCESS, plugged_.arrival);
    device_ = PortFor(plugged_);
    port_ = PortOf(device_);
    port_->OpenState = kPortOpen;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
      driver_->object->MajorFunction[major] = TestDispatch;
  }

  Request* Build(UCHAR major, ULONG length = 8, ULONG code = 0) {
    auto request = std::make_unique<Request>();
    Request* r = request.get();
    requests_.push_back(std::move(request));
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    if (major == IRP_MJ_DEVICE_CONTROL) {
      r->irp = kernel::BuildDeviceControlRequest(code, device_, nullptr, r->data, length, r->data,
                                                 length, false, &r->io_status, &r->done);
    } else {
      r->irp = kernel::BuildReadWriteRequest(major, device_, nullptr, r->data, length, 0,
                                             &r->io_status, &r->done);
    }
    EXPECT_NE(nullptr, r->irp);
    kernel::SetRequestFinisher(r->irp, [this, r](PIRP irp) {
      r->final_status = irp->IoStatus.Status;
      r->order = completed_++;
      ++r->completions;
    });
    return r;
  }
  Request* Send(Request* r) {
    r->returned = IoCallDriver(device_, r->irp);
    return r;
  }
  Request* Issue(UCHAR major, ULONG length = 8, ULONG code = 0) {
    return Send(Build(major, length, code));
  }
  // Cancels as an application's CancelIo does, safe against a completion
  // that wins the race.
  void Cancel(Request* r) {
    if (kernel::PinRequest(r->irp)) {
      IoCancelIrp(r->irp);
      kernel::UnpinRequest(r->irp);
    }
  }
  int Queued(LIST_ENTRY PORT_EXTENSION::*queue) const {
    int n = 0;
    for (PLIST_ENTRY e = (port_->*queue).Flink; e != &(port_->*queue); e = e->Flink)
      ++n;
    return n;
  }

  Plugged plugged_;
  PDEVICE_OBJECT device_ = nullptr;
  PPORT_EXTENSION port_ = nullptr;
  std::vector<std::unique_ptr<Request>> requests_;
  int completed_ = 0;
};

TEST_F(RequestQueues, AdmissionRefusesWhatThePortCannotServe) {
  struct Case {
    const char* name;
    UCHAR started, open, removed;
    bool abort_on_error;
    UCHAR major;
    ULONG code;
    NTSTATUS status;
  };
  const ULONG kCommStatus = IOCTL_SERIAL_GET_COMMSTATUS;
  const Case cases[] = {
      {"not open", 1, 0, 0, false, IRP_MJ_READ, 0, STATUS_INVALID_DEVICE_REQUEST},
      {"not started", 0, 1, 0, false, IRP_MJ_WRITE, 0, STATUS_INVALID_DEVICE_REQUEST},
      {"removal under way", 1, 1, 1, false, IRP_MJ_READ, 0, STATUS_DELETE_PENDING},
      {"removed and stopped", 0, 1, 1, false, IRP_MJ_DEVICE_CONTROL, kCommStatus,
       STATUS_DELETE_PENDING},
      {"error abort: read", 1, 1, 0, true, IRP_MJ_READ, 0, STATUS_CANCELLED},
      {"error abort: write", 1, 1, 0, true, IRP_MJ_WRITE, 0, STATUS_CANCELLED},
      {"error abort: control", 1, 1, 0, true, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE,
       STATUS_CANCELLED},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port_->Started = c.started;
    port_->OpenState = c.open ? kPortOpen : kPortClosed;
    port_->Removed = c.removed;
    port_->HandFlow.ControlHandShake = c.abort_on_error ? SERIAL_ERROR_ABORT : 0;
    port_->ErrorWord = c.abort_on_error ? SERIAL_ERROR_PARITY : 0;
    Request* r = Issue(c.major, 8, c.code);
    EXPECT_EQ(c.status, r->returned);
    EXPECT_EQ(c.status, r->final_status);
    EXPECT_EQ(0u, r->io_status.Information);
    EXPECT_EQ(0, port_->PendingIrpCount);
    EXPECT_EQ(nullptr, port_->CurrentReadIrp);
    EXPECT_EQ(nullptr, port_->CurrentWriteIrp);
  }
  EXPECT_EQ(0, read_lane.serves + write_lane.serves);

  // The status request gets through the error abort, clears the error, and
  // requests are accepted again.
  port_->Started = 1;
  port_->OpenState = kPortOpen;
  port_->Removed = 0;
  port_->HandFlow.ControlHandShake = SERIAL_ERROR_ABORT;
  port_->ErrorWord = SERIAL_ERROR_PARITY;
  EXPECT_EQ(STATUS_SUCCESS, Issue(IRP_MJ_DEVICE_CONTROL, 8, kCommStatus)->final_status);
  Request* read = Issue(IRP_MJ_READ);
  EXPECT_EQ(STATUS_PENDING, read->returned);
  EXPECT_EQ(read->irp, port_->ArmedReadIrp);
  EXPECT_TRUE(FinishArmed(port_, read_lane));
  EXPECT_EQ(STATUS_SUCCESS, read->final_status);
  EXPECT_EQ(0, port_->PendingIrpCount);
}

TEST_F(RequestQueues, EachQueueServesOneRequestAtATimeInArrivalOrder) {
  Start();
  Request* reads[] = {Issue(IRP_MJ_READ), Issue(IRP_MJ_READ), Issue(IRP_MJ_READ)};
  // The write queue runs beside the read queue, not behind it.
  Request* write = Issue(IRP_MJ_WRITE, 5);
  for (Request* r : reads)
    EXPECT_EQ(STATUS_PENDING, r->returned);
  EXPECT_EQ(1, read_lane.serves);
  EXPECT_EQ(reads[0]->irp, port_->CurrentReadIrp);
  EXPECT_EQ(2, Queued(&PORT_EXTENSION::ReadQueue));
  EXPECT_EQ(write->irp, port_->CurrentWriteIrp);
  EXPECT_EQ(write->irp, port_->ArmedWriteIrp);
  EXPECT_EQ(4, port_->PendingIrpCount);

  // Queued requests carry their data cursor from the start.
  for (Request* r : reads) {
    EXPECT_EQ(r->irp->AssociatedIrp.SystemBuffer, *DataCursorOf(r->irp));
  }

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(FinishArmed(port_, read_lane));
    EXPECT_EQ(i, reads[i]->order);
    EXPECT_EQ(STATUS_SUCCESS, reads[i]->final_status);
    EXPECT_EQ(i < 2 ? i + 2 : 3, read_lane.serves) << "one start per request";
  }
  EXPECT_EQ(3, read_lane.serves);
  EXPECT_EQ(nullptr, port_->CurrentReadIrp);
  EXPECT_EQ(nullptr, port_->ArmedReadIrp);
  EXPECT_TRUE(FinishArmed(port_, write_lane));
  EXPECT_EQ(STATUS_SUCCESS, write->final_status);
  EXPECT_EQ(0, port_->PendingIrpCount);
}

TEST_F(RequestQueues, CancellingQueuedAndCurrentRequests) {
  Start();
  // Already cancelled on arrival: completed at once, never started.
  Request* early = Build(IRP_MJ_READ);
  early->irp->Cancel = TRUE;
  Send(early);
  EXPECT_EQ(STATUS_CANCELLED, early->returned);
  EXPECT_EQ(STATUS_CANCELLED, early->final_status);
  EXPECT_EQ(0, read_lane.serves);

  // Queued requests give their share of WriteBytesQueued back.
  Request* current = Issue(IRP_MJ_WRITE, 10);
  Request* second = Issue(IRP_MJ_WRITE, 20);
  Request* xoff =
      Issue(IRP_MJ_DEVICE_CONTROL, sizeof(SERIAL_XOFF_COUNTER), IOCTL_SERIAL_XOFF_COUNTER);
  Request* third = Issue(IRP_MJ_WRITE, 30);
  EXPECT_EQ(61, port_->WriteBytesQueued);
  Cancel(second);
  EXPECT_EQ(41, port_->WriteBytesQueued);
  Cancel(xoff);
  Cancel(third);
  EXPECT_EQ(10, port_->WriteBytesQueued);
  for (Request* r : {second, xoff, third}) {
    EXPECT_EQ(STATUS_CANCELLED, r->final_status);
    EXPECT_EQ(0u, r->io_status.Information);
  }
  EXPECT_EQ(current->irp, port_->CurrentWriteIrp);
  EXPECT_EQ(-1, current->order);

  // The armed current request goes through its own cancel routine, and the
  // next one starts.
  Request* next = Issue(IRP_MJ_WRITE, 4);
  Cancel(current);
  EXPECT_EQ(STATUS_CANCELLED, current->final_status);
  EXPECT_EQ(next->irp, port_->CurrentWriteIrp);
  EXPECT_EQ(next->irp, port_->ArmedWriteIrp);
  EXPECT_TRUE(FinishArmed(port_, write_lane));
  EXPECT_EQ(0, port_->PendingIrpCount);
  EXPECT_EQ(0, Queued(&PORT_EXTENSION::WriteQueue));
}

TEST_F(RequestQueues, ARetiredRequestStillPendingIsLeftToItsNewOwner) {
  Start();
  Request* xoff =
      Issue(IRP_MJ_DEVICE_CONTROL, sizeof(SERIAL_XOFF_COUNTER), IOCTL_SERIAL_XOFF_COUNTER);
  Request* write = Issue(IRP_MJ_WRITE, 3);
  // The XOFF counter is parked elsewhere still pending: retiring it promotes
  // the write and leaves the counter alone.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  port_->ArmedWriteIrp = nullptr;
  IoSetCancelRoutine(xoff->irp, nullptr);
  xoff->irp->IoStatus.Status = STATUS_PENDING;
  IoReleaseCancelSpinLock(irql);
  RetireAndStartNext(port_, write_lane);
  EXPECT_EQ(0, xoff->completions);
  EXPECT_EQ(write->irp, port_->CurrentWriteIrp);

  xoff->irp->IoStatus.Status = STATUS_SUCCESS;
  CompleteRequest(port_, xoff->irp, kBoostQueued);
  EXPECT_TRUE(FinishArmed(port_, write_lane));
  EXPECT_EQ(1, xoff->completions);
  EXPECT_EQ(STATUS_SUCCESS, write->final_status);
  EXPECT_EQ(0, port_->PendingIrpCount);
}

TEST_F(RequestQueues, AbortCancelsQueuedRequestsFirstThenTheCurrentOne) {
  Start();
  Request* reads[] = {Issue(IRP_MJ_READ), Issue(IRP_MJ_READ), Issue(IRP_MJ_READ),
                      Issue(IRP_MJ_READ)};
  AbortQueue(device_, &port_->ReadQueue, &port_->CurrentReadIrp);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(STATUS_CANCELLED, reads[i]->final_status);
    EXPECT_EQ(i == 0 ? 3 : i - 1, reads[i]->order);
  }
  EXPECT_EQ(nullptr, port_->CurrentReadIrp);
  EXPECT_EQ(nullptr, port_->ArmedReadIrp);

  // A current request owned by a thread only gets its Cancel flag; the owner
  // completes it.
  write_lane.arm = false;
  Request* owned = Issue(IRP_MJ_WRITE, 2);
  Request* queued = Issue(IRP_MJ_WRITE, 2);
  AbortQueue(device_, &port_->WriteQueue, &port_->CurrentWriteIrp);
  EXPECT_EQ(STATUS_CANCELLED, queued->final_status);
  EXPECT_EQ(0, owned->completions);
  EXPECT_TRUE(owned->irp->Cancel);
  FinishOwned(port_, write_lane);
  EXPECT_EQ(STATUS_CANCELLED, owned->final_status);

  // The wait, and aborts with nothing to abort.
  Request* wait = Issue(IRP_MJ_DEVICE_CONTROL, sizeof(ULONG), IOCTL_SERIAL_WAIT_ON_MASK);
  EXPECT_EQ(STATUS_PENDING, wait->returned);
  AbortWait(device_);
  EXPECT_EQ(STATUS_CANCELLED, wait->final_status);
  AbortWait(device_);
  AbortQueue(device_, &port_->ReadQueue, &port_->CurrentReadIrp);
  EXPECT_EQ(0, port_->PendingIrpCount);
}

// A DPC-like completer finishes the armed read while the application
// cancels it and the next read; every request ends exactly once.
struct Completer {
  PPORT_EXTENSION port;
};
void NTAPI CompleteArmedRead(PVOID context) {
  auto* completer = static_cast<Completer*>(context);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  FinishArmed(completer->port, read_lane);
  KeLowerIrql(irql);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(RequestQueues, CancelRacingCompletionEndsEachRequestOnce) {
  Start();
  Completer completer{port_};
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Request* reads[] = {Issue(IRP_MJ_READ), Issue(IRP_MJ_READ), Issue(IRP_MJ_READ)};
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                                   CompleteArmedRead, &completer));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode,
                                                        &thread, nullptr));
    ZwClose(handle);
    for (int i = 0; i < round % 4; ++i)
      sim::Yield("let the completer run");
    Cancel(reads[0]);
    Cancel(reads[1]);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    AbortQueue(device_, &port_->ReadQueue, &port_->CurrentReadIrp);

    // The completer finished at most one of them, whichever was armed when
    // it ran; the rest were cancelled.
    int finished = 0;
    for (Request* r : reads) {
      EXPECT_EQ(1, r->completions);
      EXPECT_TRUE(r->final_status == STATUS_SUCCESS || r->final_status == STATUS_CANCELLED)
          << std::hex << r->final_status;
      finished += r->final_status == STATUS_SUCCESS;
    }
    EXPECT_LE(finished, 1);
    EXPECT_EQ(0, port_->PendingIrpCount);
    EXPECT_EQ(nullptr, port_->CurrentReadIrp);
    EXPECT_EQ(0, Queued(&PORT_EXTENSION::ReadQueue));
  }
}

// ---------------------------------------------------------------------------
// Draining the USB transfers

struct Drain {
  PDEVICE_OBJECT device;
  BOOLEAN force;
  bool returned = false;
};
void NTAPI RunDrain(PVOID context) {
  auto* drain = static_cast<Drain*>(context);
  WaitTransfersIdle(drain->device, drain->force);
  drain->returned = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

class TransferDrain : public RequestQueues {
 protected:
  PVOID StartDrain(Drain* drain) {
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, RunDrain, drain));
    PVOID thread = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode,
                                                        &thread, nullptr));
    ZwClose(handle);
    return thread;
  }
  void Join(PVOID thread) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  void SetCounts(LONG in, LONG out, LONG status) {
    port_->InTransfersPending = in;
    port_->OutTransfersPending = out;
    port_->StatusRequestsInFlight = status;
  }
  std::uint64_t Urbs() const { return usb_->stats().urbs_submitted; }
};

TEST_F(TransferDrain, OnlyForceWaitsForBulkInAndStatusTransfers) {
  Start();
  SetCounts(3, 0, 1);
  const sim::Ticks start = sim::Now();
  const std::uint64_t urbs = Urbs();
  AsDriver([&] { WaitTransfersIdle(device_, FALSE); });
  EXPECT_EQ(start, sim::Now());
  EXPECT_EQ(urbs, Urbs());

  Drain drain{device_, TRUE};
  PVOID thread = StartDrain(&drain);
  sim::SleepFor(200 * sim::kTicksPerMs, "drain polls");
  EXPECT_FALSE(drain.returned);
  EXPECT_LT(urbs, Urbs()) << "bulk-IN and interrupt pipes aborted";
  SetCounts(0, 0, 1);
  sim::SleepFor(100 * sim::kTicksPerMs, "drain polls");
  EXPECT_FALSE(drain.returned);
  SetCounts(0, 0, 0);
  Join(thread);
  EXPECT_TRUE(drain.returned);
}

TEST_F(TransferDrain, ReturnsOnceTheDeviceIsGone) {
  Start();
  SetCounts(2, 1, 1);
  Drain drain{device_, TRUE};
  PVOID thread = StartDrain(&drain);
  sim::SleepFor(100 * sim::kTicksPerMs, "drain polls");
  EXPECT_FALSE(drain.returned);
  usb_->Unplug(plugged_.usb_port);  // the PnP manager is not told: the port stays
  const sim::Ticks unplugged = sim::Now();
  Join(thread);
  EXPECT_LE(sim::Now() - unplugged, 21 * sim::kTicksPerMs);
  SetCounts(0, 0, 0);
}

TEST_F(TransferDrain, StuckStatusRequestsOfOldChipsResetThePort) {
  struct Case {
    const char* name;
    std::uint8_t version;
    bool reset;
  };
  for (const Case& c : {Case{"below 0x20", 0x10, true}, Case{"0x20", 0x20, false}}) {
    SCOPED_TRACE(c.name);
    Start(c.version);
    ASSERT_NE(0, plugged_.chip->Configuration());
    ASSERT_EQ(c.reset, port_->ChipVersion < kChipVersionInterrupt);
    SetCounts(0, 1, 1);
    Drain drain{device_, FALSE};
    PVOID thread = StartDrain(&drain);
    // A port reset leaves the chip unconfigured until the hub configures it
    // again; polling every millisecond sees that.
    bool reset_before_pass_10 = false, reset_after = false;
    for (int ms = 0; ms < 300; ++ms) {
      sim::SleepFor(sim::kTicksPerMs, "watch the chip");
      (ms < 9 * 20 ? reset_before_pass_10 : reset_after) |= plugged_.chip->Configuration() == 0;
    }
    EXPECT_FALSE(reset_before_pass_10);
    EXPECT_EQ(c.reset, reset_after);
    SetCounts(0, 0, 1);
    Join(thread);
    SetCounts(0, 0, 0);
    Unload();
    requests_.clear();
  }
}

}  // namespace
}  // namespace vax::test
