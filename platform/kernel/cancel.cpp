// Cancellation: the system-wide cancel spin lock, cancel routines and
// IoCancelIrp.
#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

KSPIN_LOCK& CancelLock() {
  static KSPIN_LOCK lock = 0;
  return lock;
}

}  // namespace

namespace io {

void ResetCancel() {
  KeInitializeSpinLock(&CancelLock());
}

}  // namespace io
}  // namespace vax::kernel

using namespace vax::kernel;
namespace sim = vax::sim;

extern "C" {

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  KeAcquireSpinLock(&CancelLock(), Irql);
  CurrentThread()->holds_cancel_lock = true;
}

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  CurrentThread()->holds_cancel_lock = false;
  KeReleaseSpinLock(&CancelLock(), Irql);
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                 reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  if (!io::IsLiveIrp(Irp)) {
    ReportViolation(Rule::kOther, "IoCancelIrp of " + DescribeIrp(Irp));
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    // No driver holds the IRP any more: it was completed with the routine set.
    IoReleaseCancelSpinLock(irql);
    ReportViolation(Rule::kCancelOfCompletedIrp,
                    "IoCancelIrp found cancel routine " +
                        io::DescribePc(reinterpret_cast<const void*>(routine)) + " in completed " +
                        DescribeIrp(Irp));
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  {
    DriverScope scope(io::DeviceDriver(device));
    // Entered with the cancel spin lock held; the routine releases it at
    // Irp->CancelIrql.
    routine(device, Irp);
  }
  if (CurrentThread()->holds_cancel_lock) {
    ReportViolation(Rule::kOther, "cancel routine " +
                                      io::DescribePc(reinterpret_cast<const void*>(routine)) +
                                      " of " + io::DescribeDevice(device) +
                                      " returned without releasing the cancel spin lock");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

}  // extern "C"
