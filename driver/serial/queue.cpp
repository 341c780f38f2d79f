// The entry check and the single completion point of every read, write and
// control request, and the two request queues with their current and armed
// slots.
//
// The cancel spin lock guards ReadQueue, WriteQueue, the current, armed,
// wait and XOFF-counter slots and every exchange of a cancel routine. A
// request sits in a queue only with CancelQueuedRequest installed; the
// routine is installed under the lock before the request becomes visible
// and is taken away only under the lock. Nothing is ever completed with the
// cancel spin lock held.
#include "vaxport.h"

// The data cursor lives in the fourth parameter word of the request's stack
// location, clear of the lengths and the control code the paths still read.
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) >=
                  offsetof(IO_STACK_LOCATION, Parameters.Read.Length) + sizeof(ULONG),
              "the data cursor overlaps the read length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) >=
                  offsetof(IO_STACK_LOCATION, Parameters.Write.Length) + sizeof(ULONG),
              "the data cursor overlaps the write length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) >=
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) +
                      sizeof(ULONG),
              "the data cursor overlaps the control code");

namespace {

bool IsRead(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
}

// The share of WriteBytesQueued a request holds while it is in the write
// queue or current there: its length for a write, 1 for an XOFF counter.
LONG WriteQueueShare(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_WRITE)
    return static_cast<LONG>(stack->Parameters.Write.Length);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
    return 1;
  return 0;
}

PIRP* ArmedSlotFor(PPORT_EXTENSION port, PIRP irp) {
  return IsRead(irp) ? &port->ArmedReadIrp : &port->ArmedWriteIrp;
}

// Unlinks a request from whatever queue holds it and leaves its entry linked
// to itself, so that a cancel routine already on its way can unlink it once
// more without harm. Cancel spin lock held.
void UnlinkRequest(PIRP irp) {
  PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
  RemoveEntryList(entry);
  InitializeListHead(entry);
}

// The head of a queue whose cancel routine a canceller has already taken
// away (IoCancelIrp runs it as soon as it gets the lock we hold) belongs to
// that canceller: it is taken out of the queue and left to the routine.
// Returns the first head still owned by the queue, its cancel routine gone,
// or null. Cancel spin lock held.
PIRP ClaimHead(PLIST_ENTRY queue) {
  while (!IsListEmpty(queue)) {
    PIRP irp = CONTAINING_RECORD(queue->Flink, IRP, Tail.Overlay.ListEntry);
    UnlinkRequest(irp);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr)
      return irp;
  }
  return nullptr;
}

}  // namespace

NTSTATUS AdmitRequest(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  InterlockedIncrement(&port->PendingIrpCount);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;

  if (!port->Started || port->OpenState == kPortClosed || port->Removed) {
    irp->IoStatus.Status = port->Removed ? STATUS_DELETE_PENDING : STATUS_INVALID_DEVICE_REQUEST;
    return CompleteRequest(port, irp, kBoostRefused);
  }

  // After an error with SERIAL_ERROR_ABORT in force, only the request that
  // reads and clears the error gets through.
  if ((port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && port->ErrorWord != 0) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool get_commstatus =
        stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS;
    if (!get_commstatus) {
      irp->IoStatus.Status = STATUS_CANCELLED;
      return CompleteRequest(port, irp, kBoostRefused);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CompleteRequest(PPORT_EXTENSION port, PIRP irp, CCHAR boost) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, boost);
  InterlockedDecrement(&port->PendingIrpCount);
  return status;
}

NTSTATUS StartOrQueue(PDEVICE_OBJECT device, PIRP irp, PLIST_ENTRY queue, PIRP* current_slot,
                      RequestStartRoutine start_routine) {
  PPORT_EXTENSION port = PortOf(device);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  *DataCursorOf(irp) = irp->AssociatedIrp.SystemBuffer;

  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    return CompleteRequest(port, irp, kBoostRefused);
  }

  port->WriteBytesQueued += WriteQueueShare(irp);

  if (IsListEmpty(queue) && *current_slot == nullptr) {
    *ArmedSlotFor(port, irp) = nullptr;
    *current_slot = irp;
    IoReleaseCancelSpinLock(irql);
    return start_routine(port);
  }

  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_PENDING;
  InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelQueuedRequest);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void NTAPI CancelQueuedRequest(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_EXTENSION port = PortOf(device);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  UnlinkRequest(irp);
  port->WriteBytesQueued -= WriteQueueShare(irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteRequest(port, irp, kBoostQueued);
}

void TakeNextRequest(PIRP* current_slot, PLIST_ENTRY queue, PPORT_EXTENSION port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP old_irp = *current_slot;
  if (old_irp != nullptr)
    *ArmedSlotFor(port, old_irp) = nullptr;
  PIRP next = ClaimHead(queue);
  *current_slot = next;
  if (next != nullptr)
    *ArmedSlotFor(port, next) = nullptr;
  IoReleaseCancelSpinLock(irql);

  // A request still marked pending has been handed to another owner.
  if (old_irp != nullptr && old_irp->IoStatus.Status != STATUS_PENDING)
    CompleteRequest(port, old_irp, kBoostRetired);
}

void AbortQueue(PDEVICE_OBJECT device, PLIST_ENTRY queue, PIRP* current_slot) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(queue)) {
    PIRP irp = CONTAINING_RECORD(queue->Flink, IRP, Tail.Overlay.ListEntry);
    irp->Cancel = TRUE;
    irp->CancelIrql = irql;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
      // A canceller took the routine first and runs it once we let go of
      // the lock; the request is its to complete.
      UnlinkRequest(irp);
      continue;
    }
    routine(device, irp);  // releases the cancel spin lock
    IoAcquireCancelSpinLock(&irql);
  }

  PIRP current = *current_slot;
  if (current == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  // Without a cancel routine the current request is owned by a thread or a
  // DPC, which sees the Cancel flag before it next waits.
  current->Cancel = TRUE;
  current->CancelIrql = irql;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(current, nullptr);
  if (routine != nullptr)
    routine(device, current);
  else
    IoReleaseCancelSpinLock(irql);
}

void AbortWait(PDEVICE_OBJECT device) {
  PPORT_EXTENSION port = PortOf(device);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP wait = port->CurrentWaitIrp;
  if (wait == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  wait->Cancel = TRUE;
  wait->CancelIrql = irql;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(wait, nullptr);
  if (routine != nullptr)
    routine(device, wait);
  else
    IoReleaseCancelSpinLock(irql);
}
