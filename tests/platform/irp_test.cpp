// IRPs against the documented behaviour: stack locations, the completion
// walk and its invoke flags, STATUS_MORE_PROCESSING_REQUIRED, pending
// propagation, buffered copy-back and threaded requests.
#include <cstring>
#include <string>
#include <vector>

#include "io_fixture.h"

namespace {

using vax::kernel::RecordingSink;
using vax::test::Complete;
using vax::test::IoTest;

constexpr ULONG kBufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

// One completion routine call as the routine saw it.
struct Call {
  const char* who;
  PDEVICE_OBJECT device;   // the DeviceObject argument
  PDEVICE_OBJECT current;  // device of the current location, nullptr past the top
  BOOLEAN pending_returned;
};

struct Routine {
  const char* who;
  std::vector<Call>* log;
  NTSTATUS result = STATUS_SUCCESS;
  bool propagate_pending = true;  // the documented `if (PendingReturned) IoMarkIrpPending`
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* routine = static_cast<Routine*>(context);
  PDEVICE_OBJECT current = irp->CurrentLocation <= irp->StackCount
                               ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                               : nullptr;
  routine->log->push_back({routine->who, device, current, irp->PendingReturned});
  if (routine->propagate_pending && irp->PendingReturned)
    IoMarkIrpPending(irp);
  return routine->result;
}

// A driver that passes the request down with a completion routine.
vax::test::Handler ForwardWith(PDEVICE_OBJECT* lower, Routine* routine, bool on_success = true,
                               bool on_error = true, bool on_cancel = true) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, routine, on_success, on_error, on_cancel);
    return IoCallDriver(*lower, irp);
  };
}

vax::test::Handler SkipTo(PDEVICE_OBJECT* lower) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*lower, irp);
  };
}

class Irps : public IoTest {
 protected:
  Irps() { KeInitializeEvent(&event_, NotificationEvent, FALSE); }

  // Sends a buffered control request built by the I/O manager to `device`.
  NTSTATUS Send(PDEVICE_OBJECT device, PVOID output = nullptr, ULONG output_length = 0) {
    PIRP irp = vax::kernel::BuildDeviceControlRequest(
        kBufferedCode, device, nullptr, nullptr, 0, output, output_length, false, &iosb_, &event_);
    EXPECT_NE(nullptr, irp);
    return IoCallDriver(device, irp);
  }

  IO_STATUS_BLOCK iosb_{{STATUS_INTERNAL_ERROR}, 0xDEAD};
  KEVENT event_;
};

TEST_F(Irps, AllocationLeavesEveryLocationToTheDriversBelow) {
  for (CCHAR stack_size : {1, 2, 5}) {
    PIRP irp = IoAllocateIrp(stack_size, FALSE);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(stack_size, irp->StackCount);
    EXPECT_EQ(stack_size + 1, irp->CurrentLocation);
    EXPECT_EQ(IoSizeOfIrp(stack_size), irp->Size);
    EXPECT_EQ(1, IoGetCurrentIrpStackLocation(irp) - IoGetNextIrpStackLocation(irp));
    IoFreeIrp(irp);
  }
}

TEST_F(Irps, CallDriverGivesTheNextLocationAndReturnsTheStatusUnchanged) {
  PIO_STACK_LOCATION seen = nullptr;
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT self, PIRP irp) {
    seen = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(self, seen->DeviceObject);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, seen->MajorFunction);
    EXPECT_EQ(kBufferedCode, seen->Parameters.DeviceIoControl.IoControlCode);
    return Complete(irp, STATUS_DEVICE_BUSY);
  });
  EXPECT_EQ(STATUS_DEVICE_BUSY, Send(device));
  EXPECT_NE(nullptr, seen);
}

// Which of the invoke flags make a routine run for a final status; warnings
// count as errors, and OnCancel fires whenever Irp->Cancel is set.
TEST_F(Irps, CompletionRoutinesRunByTheirInvokeFlags) {
  struct Case {
    NTSTATUS status;
    bool cancel;
    bool on_success, on_error, on_cancel;
    bool runs;
  } cases[] = {
      {STATUS_SUCCESS, false, true, false, false, true},
      {STATUS_SUCCESS, false, false, true, true, false},
      {STATUS_UNSUCCESSFUL, false, false, true, false, true},
      {STATUS_UNSUCCESSFUL, false, true, false, true, false},
      {STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
      {STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
      {STATUS_CANCELLED, true, false, false, true, true},
      {STATUS_SUCCESS, true, false, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << std::hex << c.status << " cancel " << c.cancel
                                    << " flags " << c.on_success << c.on_error << c.on_cancel);
    std::vector<Call> log;
    Routine routine{"top", &log};
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      irp->Cancel = c.cancel;
      return Complete(irp, c.status);
    });
    PDEVICE_OBJECT top =
        AddAbove(bottom, ForwardWith(&bottom, &routine, c.on_success, c.on_error, c.on_cancel));
    Send(top);
    ASSERT_EQ(c.runs ? 1u : 0u, log.size());
    if (c.runs) {
      EXPECT_EQ(top, log[0].device);
      EXPECT_EQ(top, log[0].current);  // the routine's own location is current
    }
  }
}

TEST_F(Irps, TheWalkRunsRoutinesBottomUpEachWithItsOwnDevice) {
  std::vector<Call> log;
  Routine upper{"upper", &log};
  Routine middle_routine{"middle", &log};
  PDEVICE_OBJECT bottom =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); });
  PDEVICE_OBJECT middle = AddAbove(bottom, ForwardWith(&bottom, &middle_routine));
  PDEVICE_OBJECT top = AddAbove(bottom, ForwardWith(&middle, &upper));
  EXPECT_EQ(3, top->StackSize);
  EXPECT_EQ(STATUS_SUCCESS, Send(top));
  ASSERT_EQ(2u, log.size());
  EXPECT_STREQ("middle", log[0].who);
  EXPECT_EQ(middle, log[0].device);
  EXPECT_STREQ("upper", log[1].who);
  EXPECT_EQ(top, log[1].device);
  EXPECT_EQ(STATUS_SUCCESS, iosb_.Status);
  EXPECT_TRUE(vax::kernel::LiveIrps().empty());
}

TEST_F(Irps, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  std::vector<Call> log;
  Routine upper{"upper", &log};
  Routine middle_routine{"middle", &log, STATUS_MORE_PROCESSING_REQUIRED};
  PIRP held = nullptr;
  PDEVICE_OBJECT bottom =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); });
  PDEVICE_OBJECT middle = AddAbove(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &middle_routine, TRUE, TRUE, TRUE);
    IoCallDriver(bottom, irp);
    held = irp;  // owned again once the routine asked for more processing
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  });
  PDEVICE_OBJECT top = AddAbove(bottom, ForwardWith(&middle, &upper));

  EXPECT_EQ(STATUS_PENDING, Send(top));
  ASSERT_EQ(1u, log.size());
  EXPECT_STREQ("middle", log[0].who);
  EXPECT_EQ(STATUS_INTERNAL_ERROR, iosb_.Status);
  EXPECT_EQ(0, KeReadStateEvent(&event_));
  EXPECT_EQ(1u, vax::kernel::LiveIrps().size());

  Complete(held, STATUS_SUCCESS, 0);  // the walk resumes from the middle's location
  ASSERT_EQ(2u, log.size());
  EXPECT_STREQ("upper", log[1].who);
  EXPECT_TRUE(log[1].pending_returned);
  EXPECT_EQ(STATUS_SUCCESS, iosb_.Status);
  EXPECT_EQ(1, KeReadStateEvent(&event_));
  EXPECT_TRUE(vax::kernel::LiveIrps().empty());
}

// SL_PENDING_RETURNED travels up by itself past a driver that skipped its
// location, and through a completion routine that propagates it.
TEST_F(Irps, PendingReturnedReachesTheTopWhenTheLowestDriverPended) {
  struct Case {
    bool lower_pends;
    bool middle_skips;
  } cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "lower pends " << c.lower_pends << ", middle skips " << c.middle_skips);
    RecordingSink sink;
    std::vector<Call> log;
    Routine upper{"upper", &log};
    Routine middle_routine{"middle", &log};
    PIRP pended = nullptr;
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      if (!c.lower_pends)
        return Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      pended = irp;
      return STATUS_PENDING;
    });
    PDEVICE_OBJECT middle =
        AddAbove(bottom, c.middle_skips ? SkipTo(&bottom) : ForwardWith(&bottom, &middle_routine));
    PDEVICE_OBJECT top = AddAbove(bottom, ForwardWith(&middle, &upper));
    KeClearEvent(&event_);

    EXPECT_EQ(c.lower_pends ? STATUS_PENDING : STATUS_SUCCESS, Send(top));
    if (pended != nullptr)
      Complete(pended, STATUS_SUCCESS);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(c.lower_pends, log.back().pending_returned != FALSE);
    EXPECT_EQ(1, KeReadStateEvent(&event_));
    EXPECT_TRUE(sink.violations().empty());
  }
}

// The I/O manager copies exactly Information bytes of the system buffer back,
// unless the status is an error; the status block is written on success.
TEST_F(Irps, BufferedOutputIsCopiedBackUnlessTheStatusIsAnError) {
  struct Case {
    NTSTATUS status;
    ULONG_PTR information;
    ULONG copied;
  } cases[] = {
      {STATUS_SUCCESS, 3, 3},
      {STATUS_SUCCESS, 0, 0},
      {STATUS_BUFFER_OVERFLOW, 8, 8},
      {STATUS_UNSUCCESSFUL, 8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << std::hex << c.status);
    char input[4] = {'a', 'b', 'c', 'd'};
    char output[8];
    std::memset(output, 0xEE, sizeof(output));
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      EXPECT_EQ(sizeof(input), location->Parameters.DeviceIoControl.InputBufferLength);
      EXPECT_EQ(sizeof(output), location->Parameters.DeviceIoControl.OutputBufferLength);
      auto* system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
      EXPECT_EQ(0, std::memcmp(system, input, sizeof(input)));
      std::memset(system, 'x', sizeof(output));  // max(input, output) bytes
      return Complete(irp, c.status, c.information);
    });
    iosb_ = {{STATUS_INTERNAL_ERROR}, 0xDEAD};
    PIRP irp =
        vax::kernel::BuildDeviceControlRequest(kBufferedCode, device, nullptr, input, sizeof(input),
                                               output, sizeof(output), false, &iosb_, &event_);
    EXPECT_EQ(c.status, IoCallDriver(device, irp));
    for (ULONG i = 0; i < sizeof(output); ++i) {
      EXPECT_EQ(i < c.copied ? 'x' : '\xEE', output[i]) << "byte " << i;
    }
    const bool written = !NT_ERROR(c.status);
    EXPECT_EQ(written ? c.status : STATUS_INTERNAL_ERROR, iosb_.Status);
    EXPECT_EQ(written ? c.information : 0xDEAD, iosb_.Information);
  }
}

TEST_F(Irps, ReadsOfABufferedDeviceAreCopiedBack) {
  char data[6] = {};
  PDEVICE_OBJECT device = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(6u, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "hello", 5);
    return Complete(irp, STATUS_SUCCESS, 5);
  });
  device->Flags |= DO_BUFFERED_IO;
  PIRP irp = vax::kernel::BuildReadWriteRequest(IRP_MJ_READ, device, nullptr, data, sizeof(data), 0,
                                                &iosb_, &event_);
  EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(device, irp));
  EXPECT_STREQ("hello", data);
  EXPECT_EQ(5u, iosb_.Information);
}

TEST_F(Irps, MethodNeitherPassesTheCallersPointers) {
  char input[2];
  char output[2];
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(input,
              IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    EXPECT_EQ(output, irp->UserBuffer);
    EXPECT_EQ(nullptr, irp->AssociatedIrp.SystemBuffer);
    return Complete(irp, STATUS_SUCCESS);
  });
  PIRP irp = IoBuildDeviceIoControlRequest(kNeitherCode, device, input, sizeof(input), output,
                                           sizeof(output), TRUE, &event_, &iosb_);
  EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(device, irp));
}

// IoBuildDeviceIoControlRequest: internal or not picks the major function; a
// pending request signals its event and copies its status block when it
// completes; one failed at once does neither. The I/O manager frees both.
TEST_F(Irps, ThreadedRequestsSignalTheirEventWhenCompletedLater) {
  struct Case {
    BOOLEAN internal;
    bool pend;
    NTSTATUS status;
    UCHAR major;
    bool signalled;
  } cases[] = {
      {TRUE, true, STATUS_SUCCESS, IRP_MJ_INTERNAL_DEVICE_CONTROL, true},
      {FALSE, true, STATUS_SUCCESS, IRP_MJ_DEVICE_CONTROL, true},
      {TRUE, true, STATUS_CANCELLED, IRP_MJ_INTERNAL_DEVICE_CONTROL, true},
      {TRUE, false, STATUS_NO_SUCH_DEVICE, IRP_MJ_INTERNAL_DEVICE_CONTROL, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "internal " << int(c.internal) << " pend " << c.pend);
    PIRP pended = nullptr;
    UCHAR major = 0xFF;
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
      if (!c.pend)
        return Complete(irp, c.status);
      IoMarkIrpPending(irp);
      pended = irp;
      return STATUS_PENDING;
    });
    KeClearEvent(&event_);
    iosb_ = {{STATUS_INTERNAL_ERROR}, 0};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, c.internal,
                                             &event_, &iosb_);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(c.pend ? STATUS_PENDING : c.status, IoCallDriver(device, irp));
    EXPECT_EQ(c.major, major);
    EXPECT_EQ(0, KeReadStateEvent(&event_));
    if (pended != nullptr)
      Complete(pended, c.status);
    EXPECT_EQ(c.signalled ? 1 : 0, KeReadStateEvent(&event_));
    EXPECT_EQ(c.signalled ? c.status : STATUS_INTERNAL_ERROR, iosb_.Status);
    EXPECT_TRUE(vax::kernel::LiveIrps().empty());
  }
}

// A driver's own IRP: sent, taken back by its routine, reused and sent again.
TEST_F(Irps, ADriversOwnIrpCanBeReusedAfterItsRoutineTakesItBack) {
  int calls = 0;
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    return Complete(irp, STATUS_SUCCESS, 7);
  });
  std::vector<Call> log;
  Routine routine{"owner", &log, STATUS_MORE_PROCESSING_REQUIRED, false};
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  for (int round = 0; round < 2; ++round) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(irp, Record, &routine, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(device, irp));
    EXPECT_EQ(7u, irp->IoStatus.Information);
    EXPECT_EQ(nullptr, log.back().device);  // the originator has no location
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, irp->IoStatus.Status);
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
  }
  IoFreeIrp(irp);
  EXPECT_EQ(2, calls);
  EXPECT_TRUE(vax::kernel::LiveIrps().empty());
}

TEST_F(Irps, AFinisherSeesTheFinalStatusBeforeTheIrpIsFreed) {
  PDEVICE_OBJECT device =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_END_OF_FILE); });
  PIRP irp = vax::kernel::BuildRequest(IRP_MJ_CLEANUP, 0, device, nullptr, &iosb_, &event_);
  NTSTATUS finished = STATUS_SUCCESS;
  vax::kernel::SetRequestFinisher(irp, [&](PIRP done) {
    finished = done->IoStatus.Status;
    EXPECT_EQ(1u, vax::kernel::LiveIrps().size());
  });
  EXPECT_EQ(STATUS_END_OF_FILE, IoCallDriver(device, irp));
  EXPECT_EQ(STATUS_END_OF_FILE, finished);
}

}  // namespace
