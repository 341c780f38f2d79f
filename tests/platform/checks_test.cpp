// The driver checks of the I/O manager and the pool: each plants its fault
// and sees it caught, named, and survived.
#include <gmock/gmock.h>

#include <cstring>
#include <string>

#include "io_fixture.h"

namespace {

using testing::HasSubstr;
using vax::kernel::RecordingSink;
using vax::kernel::Rule;
using vax::test::Complete;
using vax::test::IoTest;
using vax::test::Tag;

class Checks : public IoTest {
 protected:
  Checks() { KeInitializeEvent(&event_, NotificationEvent, FALSE); }

  NTSTATUS Send(PDEVICE_OBJECT device) {
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE,
                                             &event_, &iosb_);
    return IoCallDriver(device, irp);
  }

  // The one violation the sink saw, which must be of `rule`.
  std::string Only(const RecordingSink& sink, Rule rule) {
    EXPECT_EQ(1u, sink.violations().size());
    if (sink.violations().empty())
      return {};
    EXPECT_EQ(rule, sink.violations()[0].rule) << sink.violations()[0].message;
    return sink.violations()[0].message;
  }

  IO_STATUS_BLOCK iosb_{};
  KEVENT event_;
  PIRP held_ = nullptr;
};

TEST_F(Checks, AViolationWithNoSinkStopsTheProcessNamingTheRule) {
  EXPECT_DEATH(
      {
        PDEVICE_OBJECT device = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
          Complete(irp, STATUS_SUCCESS);
          return Complete(irp, STATUS_SUCCESS);
        });
        Send(device);
      },
      "IrpCompletedTwice.*IRP_MJ_INTERNAL_DEVICE_CONTROL 0x220003");
}

// Completion faults, each planted by a dispatch routine.
TEST_F(Checks, CompletionFaultsAreCaught) {
  struct Case {
    const char* name;
    Rule rule;
    vax::test::Handler dispatch;
  } cases[] = {
      {"completed twice", Rule::kIrpCompletedTwice,
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return Complete(irp, STATUS_SUCCESS);
       }},
      {"completed with STATUS_PENDING", Rule::kIrpCompletedPending,
       [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         Complete(irp, STATUS_PENDING);
         return STATUS_PENDING;
       }},
      {"completed with a cancel routine set", Rule::kIrpCompletedWithCancelRoutine,
       [](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
         return Complete(irp, STATUS_SUCCESS);
       }},
      {"completed under the cancel spin lock", Rule::kCompleteUnderCancelLock,
       [](PDEVICE_OBJECT, PIRP irp) {
         KIRQL irql;
         IoAcquireCancelSpinLock(&irql);
         Complete(irp, STATUS_SUCCESS);
         IoReleaseCancelSpinLock(irql);
         return STATUS_SUCCESS;
       }},
      {"marked pending, returned a final status", Rule::kMarkWithoutPending,
       [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return Complete(irp, STATUS_SUCCESS);
       }},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    Send(AddDevice(c.dispatch));
    EXPECT_THAT(Only(sink, c.rule), HasSubstr("IRP"));
  }
}

// STATUS_PENDING without the mark is found when the walk reaches the
// location, which here is after the dispatch routine returned.
TEST_F(Checks, PendingWithoutTheMarkIsCaughtWhenTheRequestCompletes) {
  RecordingSink sink;
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held_ = irp;
    return STATUS_PENDING;
  });
  EXPECT_EQ(STATUS_PENDING, Send(device));
  EXPECT_TRUE(sink.violations().empty());
  Complete(held_, STATUS_SUCCESS);
  EXPECT_THAT(Only(sink, Rule::kPendingWithoutMark),
              HasSubstr("returned STATUS_PENDING without IoMarkIrpPending"));
}

// The documented pattern in which a completion routine marks its own
// location after the dispatch routine returned STATUS_PENDING is no fault,
// but a routine that forgets to propagate the mark is.
TEST_F(Checks, APendingMarkLeftToTheCompletionRoutineMustBePropagated) {
  struct Context {
    bool propagate;
  };
  for (bool propagate : {true, false}) {
    SCOPED_TRACE(propagate ? "propagated" : "not propagated");
    RecordingSink sink;
    Context context{propagate};
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held_ = irp;
      return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = AddAbove(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            if (static_cast<Context*>(context)->propagate && irp->PendingReturned) {
              IoMarkIrpPending(irp);
            }
            return STATUS_SUCCESS;
          },
          &context, TRUE, TRUE, TRUE);
      return IoCallDriver(bottom, irp);
    });
    EXPECT_EQ(STATUS_PENDING, Send(top));
    Complete(held_, STATUS_SUCCESS);
    if (propagate) {
      EXPECT_TRUE(sink.violations().empty());
    } else {
      EXPECT_THAT(Only(sink, Rule::kPendingWithoutMark),
                  HasSubstr("IRP_MJ_INTERNAL_DEVICE_CONTROL"));
    }
  }
}

TEST_F(Checks, CallingDownUnderTheCancelSpinLockIsCaught) {
  RecordingSink sink;
  PDEVICE_OBJECT bottom =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT top = AddAbove(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(bottom, irp);
    IoReleaseCancelSpinLock(irql);
    return status;
  });
  Send(top);
  ASSERT_FALSE(sink.violations().empty());
  EXPECT_EQ(Rule::kCallUnderCancelLock, sink.violations()[0].rule);
}

// An IRP allocated with too few locations for the stack it is sent down.
TEST_F(Checks, AnIrpWithTooFewStackLocationsIsCaughtBeforeTheHeaderIsHit) {
  RecordingSink sink;
  PDEVICE_OBJECT bottom =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT top = AddAbove(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);  // there is no next location
    return IoCallDriver(bottom, irp);
  });
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  EXPECT_FALSE(NT_SUCCESS(IoCallDriver(top, irp)));
  EXPECT_THAT(Only(sink, Rule::kIrpStackOverrun), HasSubstr("no stack location left"));
}

TEST_F(Checks, UseOfADeletedDeviceIsCaught) {
  RecordingSink sink;
  PDEVICE_OBJECT device = AddDevice(
      [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }, L"\\Device\\Gone");
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoDeleteDevice(device);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, IoCallDriver(device, irp));
  EXPECT_THAT(Only(sink, Rule::kDeletedDeviceUse), HasSubstr("\\Device\\Gone"));
  IoFreeIrp(irp);
}

TEST_F(Checks, CancelOfACompletedIrpIsCaught) {
  RecordingSink sink;
  PDEVICE_OBJECT device =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
      TRUE, TRUE, TRUE);
  IoCallDriver(device, irp);
  irp->CancelRoutine = [](PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "cancel routine ran"; };
  EXPECT_FALSE(IoCancelIrp(irp));
  Only(sink, Rule::kCancelOfCompletedIrp);
  IoFreeIrp(irp);
}

TEST_F(Checks, AnInformationLargerThanTheOutputBufferIsCaughtAndNotCopied) {
  RecordingSink sink;
  char output[4] = {};
  char guard[4] = {'g', 'g', 'g', 'g'};
  PDEVICE_OBJECT device =
      AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 64); });
  PIRP irp = vax::kernel::BuildDeviceControlRequest(
      CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0), device, nullptr, nullptr, 0, output,
      sizeof(output), false, &iosb_, &event_);
  IoCallDriver(device, irp);
  EXPECT_THAT(Only(sink, Rule::kOther), HasSubstr("Information 64"));
  EXPECT_EQ('g', guard[0]);
}

TEST_F(Checks, PagedPoolAtDispatchLevelIsCaught) {
  RecordingSink sink;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  PVOID block = ExAllocatePoolWithTag(PagedPool, 16, Tag("Test"));
  KeLowerIrql(irql);
  EXPECT_THAT(Only(sink, Rule::kPagedPoolAtDispatch), HasSubstr("16 bytes"));
  ExFreePool(block);
}

TEST_F(Checks, BadPoolFreesAreCaught) {
  struct Case {
    const char* name;
    const char* says;
    void (*plant)();
  } cases[] = {
      {"NULL", "ExFreePool(NULL)", [] { ExFreePool(nullptr); }},
      {"twice", "already freed",
       [] {
         PVOID block = ExAllocatePool(NonPagedPool, 8);
         ExFreePool(block);
         ExFreePool(block);
       }},
      {"foreign", "not the start of a pool block",
       [] {
         static char not_pool[8];
         ExFreePool(not_pool);
       }},
      {"inside a block", "not the start of a pool block",
       [] {
         auto* block = static_cast<char*>(ExAllocatePool(NonPagedPool, 8));
         ExFreePool(block + 4);
         ExFreePool(block);
       }},
      {"wrong tag", "with tag 'Bad!'",
       [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Test"));
         ExFreePoolWithTag(block, Tag("Bad!"));
         ExFreePoolWithTag(block, Tag("Test"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    c.plant();
    EXPECT_THAT(Only(sink, Rule::kBadPoolFree), HasSubstr(c.says));
  }
}

// What a driver leaves behind at unload is listed with tag, size and site.
TEST_F(Checks, LeaksAtUnloadNameEveryResourceLeft) {
  RecordingSink sink;
  PDRIVER_OBJECT leaky = vax::kernel::CreateDriverObject(u"Leaky");
  ASSERT_NE(nullptr, leaky);
  NTSTATUS status = vax::kernel::CallDriverEntry(leaky, [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPool, 0x11000, Tag("Vaxp"));
    IoAllocateIrp(2, FALSE);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Leaky0");
    PDEVICE_OBJECT device;
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  });
  EXPECT_EQ(STATUS_SUCCESS, status);
  vax::kernel::UnloadDriver(leaky);
  const std::string report = Only(sink, Rule::kLeakAtUnload);
  EXPECT_THAT(report, HasSubstr("\\Driver\\Leaky"));
  EXPECT_THAT(report, HasSubstr("69632 bytes, tag 'Vaxp'"));
  EXPECT_THAT(report, HasSubstr("on thread 'main'"));
  EXPECT_THAT(report, HasSubstr("IRP"));
  EXPECT_THAT(report, HasSubstr("\\Device\\Leaky0 "));
  // Nothing of the test's own is charged to the driver.
  EXPECT_THAT(report, testing::Not(HasSubstr("TestDrv")));
}

TEST_F(Checks, AnIrpHeldByADriverAtUnloadIsReported) {
  PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held_ = irp;
    return STATUS_PENDING;
  });
  Send(device);
  std::string report = vax::kernel::LeakReport(driver_);
  EXPECT_THAT(report, HasSubstr("held by"));
  EXPECT_THAT(report, HasSubstr("never completed"));
  Complete(held_, STATUS_SUCCESS);
  report = vax::kernel::LeakReport(driver_);
  EXPECT_THAT(report, testing::Not(HasSubstr("IRP")));
}

TEST_F(Checks, AFailedAssertionIsAViolation) {
  RecordingSink sink;
  RtlAssertFailure("Count > 0", "port.cpp", 12);
  EXPECT_THAT(Only(sink, Rule::kOther), HasSubstr("ASSERT(Count > 0) failed at port.cpp:12"));
}

}  // namespace
