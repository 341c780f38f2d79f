// Serial events and the one wait-on-mask request a port holds.
//
// Producers record an event in PendingEvents only when it is in WaitMask and
// then run DeliverEvents. The pending wait sits in CurrentWaitIrp; it is
// filled in (result ORed, Information 4) while it stays in the slot, and
// leaves the slot only under the cancel spin lock, through WaitSatisfied or
// CancelWait, so exactly one of them completes it. Everything that touches
// the request's buffer does so under the cancel spin lock, so nobody writes
// into a request a canceller has already completed. Lock order: ControlLock
// before the cancel spin lock.
#include "vaxport.h"

namespace {

constexpr ULONG_PTR kWaitResultSize = sizeof(ULONG);

PULONG WaitResultOf(PIRP irp) {
  return static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
}

// A wait whose result is final and whose completion DPC is queued or about
// to run. A wait just parked still has Information 0 (set at admission).
bool WaitIsSatisfied(PIRP irp) {
  return irp->IoStatus.Information == kWaitResultSize;
}

// Hands `events` to the parked wait and queues its completion. Cancel spin
// lock held.
void SatisfyWait(PPORT_EXTENSION port, PIRP wait, ULONG events) {
  *WaitResultOf(wait) |= events;
  wait->IoStatus.Information = kWaitResultSize;
  KeInsertQueueDpc(&port->WaitCompleteDpc, nullptr, nullptr);
}

}  // namespace

void DeliverEvents(PPORT_EXTENSION port) {
  if (port->CurrentWaitIrp == nullptr || port->PendingEvents == 0)
    return;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP wait = port->CurrentWaitIrp;
  if (wait != nullptr && port->PendingEvents != 0) {
    const ULONG events = port->PendingEvents;
    port->PendingEvents = 0;
    SatisfyWait(port, wait, events);
  }
  IoReleaseCancelSpinLock(irql);
}

void SignalTxEmpty(PPORT_EXTENSION port) {
  if ((port->WaitMask & SERIAL_EV_TXEMPTY) == 0)
    return;
  port->PendingEvents |= SERIAL_EV_TXEMPTY;
  DeliverEvents(port);
}

void NTAPI WaitSatisfied(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PPORT_EXTENSION port = static_cast<PPORT_EXTENSION>(context);

  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP wait = port->CurrentWaitIrp;
  // A run left over from a wait that was cancelled after queueing us must
  // not complete the next wait, which nothing has satisfied yet.
  if (wait != nullptr && !WaitIsSatisfied(wait))
    wait = nullptr;
  if (wait != nullptr) {
    port->CurrentWaitIrp = nullptr;
    IoSetCancelRoutine(wait, nullptr);
  }
  IoReleaseCancelSpinLock(irql);

  if (wait == nullptr)
    return;
  wait->IoStatus.Status = STATUS_SUCCESS;
  CompleteRequest(port, wait, kBoostQueued);
}

void NTAPI CancelWait(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  PIRP wait = port->CurrentWaitIrp;
  if (wait != nullptr) {
    port->CurrentWaitIrp = nullptr;
    IoSetCancelRoutine(wait, nullptr);
    KeRemoveQueueDpc(&port->WaitCompleteDpc);
    *WaitResultOf(wait) = 0;
    wait->IoStatus.Status = STATUS_CANCELLED;
    wait->IoStatus.Information = kWaitResultSize;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (wait != nullptr)
    CompleteRequest(port, wait, kBoostQueued);
}

NTSTATUS WaitOnMask(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  KeSetEvent(&port->StatusWakeEvent, IO_NO_INCREMENT, FALSE);

  KIRQL control_irql;
  KeAcquireSpinLock(&port->ControlLock, &control_irql);
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  NTSTATUS status;
  if (port->WaitMask == 0 || port->CurrentWaitIrp != nullptr || WaitResultOf(irp) == nullptr) {
    status = STATUS_INVALID_PARAMETER;
  } else if (irp->Cancel) {
    // Cancelled before it could be parked: IoCancelIrp found no routine to
    // call and nobody else would ever complete it.
    status = STATUS_CANCELLED;
  } else {
    *WaitResultOf(irp) = port->PendingEvents;
    if (port->PendingEvents != 0) {
      port->PendingEvents = 0;
      irp->IoStatus.Information = kWaitResultSize;
      status = STATUS_SUCCESS;
    } else {
      IoMarkIrpPending(irp);
      irp->IoStatus.Information = 0;
      IoSetCancelRoutine(irp, CancelWait);
      port->CurrentWaitIrp = irp;
      status = STATUS_PENDING;
    }
  }
  irp->IoStatus.Status = status;
  IoReleaseCancelSpinLock(cancel_irql);
  KeReleaseSpinLock(&port->ControlLock, control_irql);
  return status;
}

NTSTATUS SetWaitMask(PPORT_EXTENSION port, ULONG mask) {
  KIRQL control_irql;
  KeAcquireSpinLock(&port->ControlLock, &control_irql);
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  PIRP wait = port->CurrentWaitIrp;
  if (wait != nullptr) {
    *WaitResultOf(wait) = 0;
    SatisfyWait(port, wait, 0);
  }
  IoReleaseCancelSpinLock(cancel_irql);
  port->WaitMask = mask;
  port->PendingEvents &= mask;
  KeReleaseSpinLock(&port->ControlLock, control_irql);

  KeSetEvent(&port->StatusWakeEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}
