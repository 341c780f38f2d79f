// The routines the files of the driver call across file boundaries, grouped
// by the file that defines them. Every routine here runs at PASSIVE_LEVEL
// unless its comment says otherwise.
#pragma once

#include "port.h"

// Every poll and retry of the driver sleeps 20 ms (relative, kernel mode,
// not alertable) between passes.
inline void SleepOnePoll() {
  LARGE_INTEGER delay;
  delay.QuadPart = -200000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// ---------------------------------------------------------------------------
// driver_entry.cpp: load, unload and the driver-wide settings

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

// Reads one REG_DWORD value under the absolute registry `path` into *value.
// The current content of *value is the default for a missing value. A value
// of another type or size is refused (false) and *value is left alone.
BOOLEAN QueryServiceDword(PCUNICODE_STRING path, PCWSTR value_name, PULONG value);

// ---------------------------------------------------------------------------
// port_create.cpp: a port's life

DRIVER_ADD_DEVICE AddDevice;

// Wakes the port's threads until every one of them has ended. The caller has
// already made them leave their loops (GlobalDriverObject or the port's
// InterfaceName buffer is null); there is no bound on the wait.
void StopPortThreads(PDEVICE_OBJECT device);

// Undoes everything AddDevice built and deletes the device object. The caller
// must not touch `device` afterwards; a null device is ignored.
void DestroyPort(PDEVICE_OBJECT device);

// Port threads: each counts itself in ThreadCount for its whole life and runs
// while this holds. Plain aligned pointer reads are enough, since the threads
// only test the two for null; volatile makes every test read them afresh.
inline bool PortThreadsMayRun(const PORT_EXTENSION* port) {
  return *static_cast<const volatile PDRIVER_OBJECT*>(&GlobalDriverObject) != nullptr &&
         *static_cast<const volatile PWSTR*>(&port->InterfaceName.Buffer) != nullptr;
}

// Thread priorities of the port threads.
constexpr KPRIORITY kModemStatusPriority = 16;
constexpr KPRIORITY kReaderPriority = 18;
constexpr KPRIORITY kWriterPriority = 17;

// ---------------------------------------------------------------------------
// port_naming.cpp: the COM name, its link, SERIALCOMM value and interface

// Chooses the port's COM name, creates its \DosDevices\ link and publishes it
// under SERIALCOMM. On failure nothing of the three is left behind.
NTSTATUS NamePort(PPORT_EXTENSION port);

// Sets `name` (buffer and MaximumLength already set) to `prefix` and the
// number in decimal, terminated when there is room; false when it does not fit.
BOOLEAN BuildNumberedName(PUNICODE_STRING name, PCWSTR prefix, ULONG number);

// Deletes the port's SERIALCOMM value and \DosDevices\ link, if it still
// holds them, and marks them gone (null DosLinkName buffer).
void UnnamePort(PPORT_EXTENSION port);

// Copies the data of value `value_name` (of any type) under the open key into
// `destination`; STATUS_BUFFER_TOO_SMALL when it holds more than `size` bytes.
NTSTATUS ReadRegistryString(HANDLE key, PCWSTR value_name, PVOID destination, ULONG size);

// ---------------------------------------------------------------------------
// Port threads (usb/modem_status.cpp, serial/reader.cpp, serial/writer.cpp).
// The start context is the port's device object.

KSTART_ROUTINE ModemStatusThread;
KSTART_ROUTINE ReaderThread;
KSTART_ROUTINE WriterThread;

// ---------------------------------------------------------------------------
// Dispatch routines

DRIVER_DISPATCH DispatchCreate;                 // open_close.cpp
DRIVER_DISPATCH DispatchClose;                  // open_close.cpp
DRIVER_DISPATCH DispatchCleanup;                // open_close.cpp
DRIVER_DISPATCH DispatchQueryInformation;       // open_close.cpp
DRIVER_DISPATCH DispatchSetInformation;         // open_close.cpp
DRIVER_DISPATCH DispatchRead;                   // serial/dispatch.cpp
DRIVER_DISPATCH DispatchWrite;                  // serial/dispatch.cpp; also IRP_MJ_FLUSH_BUFFERS
DRIVER_DISPATCH DispatchDeviceControl;          // serial/dispatch.cpp
DRIVER_DISPATCH DispatchInternalDeviceControl;  // serial/dispatch.cpp
DRIVER_DISPATCH DispatchPnp;                    // pnp/pnp.cpp
DRIVER_DISPATCH DispatchPower;                  // pnp/power.cpp
DRIVER_DISPATCH DispatchSystemControl;          // pnp/wmi.cpp

// ---------------------------------------------------------------------------
// usb/usb_request.cpp: synchronous requests to the USB stack below the port.
// All of them wait for the lower driver without a time limit.

// Sends one URB down and waits for it. STATUS_TIMEOUT from below becomes
// STATUS_IO_TIMEOUT. The URB's own status is not looked at.
NTSTATUS SubmitUrb(PDEVICE_OBJECT device, PURB urb);

// Asks the hub for the port status into *port_status (normally preset to
// USBD_PORT_CONNECTED). The statuses a stack uses for a device that left turn
// into success with USBD_PORT_CONNECTED cleared.
NTSTATUS GetPortStatus(PDEVICE_OBJECT device, PULONG port_status);

// The device-gone test: the hub answered and says nothing is connected. A
// failed query counts as still attached.
BOOLEAN DeviceGone(PDEVICE_OBJECT device);

// URB_FUNCTION_ABORT_PIPE or URB_FUNCTION_RESET_PIPE on the pipe named by a
// selector; STATUS_NO_SUCH_DEVICE, with nothing sent, for a pipe the port does
// not have.
NTSTATUS PipeRequest(PDEVICE_OBJECT device, USHORT function, ULONG pipe_selector);

// One vendor control request to the device on the default pipe. `length`
// (optional) gives the buffer's size going down and receives the bytes moved,
// 0 on failure. `transfer_flags` is kVendorOut or kVendorIn.
NTSTATUS VendorRequest(PDEVICE_OBJECT device, ULONG transfer_flags, UCHAR request, USHORT value,
                       USHORT index, PVOID buffer, PULONG length);

// After a failed transfer on a bulk or interrupt pipe: true when the device is
// gone (the caller's loop ends or fails); otherwise the pipe is reset unless a
// removal is under way, and the caller carries on with its next transfer.
BOOLEAN RecoverPipe(PDEVICE_OBJECT device, ULONG pipe_selector);

// ---------------------------------------------------------------------------
// usb/configure.cpp: configuration, pipes and the chip generation

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device);
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// usb/chip_registers.cpp: typed access to the chip

// Reads two registers in one request; a single register is named twice with
// the same output. An answer shorter than two bytes is
// STATUS_INSUFFICIENT_RESOURCES; the outputs change only on success.
NTSTATUS ReadRegisterPair(PDEVICE_OBJECT device, UCHAR reg_a, PUCHAR value_a, UCHAR reg_b,
                          PUCHAR value_b);
// Writes two registers in one request; a single register is named twice.
// Shadows are the caller's business.
NTSTATUS WriteRegisterPair(PDEVICE_OBJECT device, UCHAR reg_a, UCHAR value_a, UCHAR reg_b,
                           UCHAR value_b);
// Drives the modem-control outputs; `chip_byte` is already complemented
// (the chip's lines are active-low).
NTSTATUS WriteModemControl(PDEVICE_OBJECT device, UCHAR chip_byte);
// Reads (bit 0 of `param1` set) or writes one byte of the chip's memory.
NTSTATUS ChipByteAccess(PDEVICE_OBJECT device, UCHAR param1, UCHAR param2, PUCHAR data);

// ---------------------------------------------------------------------------
// usb/baud_rate.cpp: the chip's bit clock and character-time register

// Programs the rate stored in BaudRate (and the character time of the stored
// frame), writing only registers whose shadow differs. STATUS_UNSUCCESSFUL,
// with nothing sent, for a rate the chip cannot run at (0, 1 to 45, above
// 3,000,000); BaudRate is never changed here.
NTSTATUS ProgramBaudRate(PDEVICE_OBJECT device);
// One 11-bit character at BaudRate in 100-ns units; 0 for a stored rate of 0.
ULONG CharacterTime(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// usb/line_control.cpp: line control, modem-control outputs and break

// Programs the stored data bits, parity and stop bits (copied under
// ControlLock; called without it) into REG_LCR1 and REG_LCR2.
NTSTATUS ProgramLineControl(PDEVICE_OBJECT device);
// Chips below 0x30 with fewer than 8 data bits: puts the parity and stop
// fill above the data bits of every byte, in place. Any IRQL, no lock taken.
void FrameOutgoingBytes(PPORT_EXTENSION port, PUCHAR buffer, ULONG length);
// Assert or drop one output; no request when it already has that value. The
// new image is kept even when the chip refuses it.
NTSTATUS SetDtr(PDEVICE_OBJECT device, BOOLEAN on);
NTSTATUS SetRts(PDEVICE_OBJECT device, BOOLEAN on);  // also cancels pending toggle drops
// Starts or ends a break; the writer holds (kTxHoldBreak) from on to off
// whatever the chip answered.
NTSTATUS SetBreak(PDEVICE_OBJECT device, BOOLEAN on);
// Transmit toggle: asks the modem-status thread to drop RTS once the chip's
// transmitter is idle. Any IRQL up to DISPATCH_LEVEL.
void RequestToggleCheck(PPORT_EXTENSION port);

// ---------------------------------------------------------------------------
// serial/queue.cpp: admission, completion and the request queues. The cancel
// spin lock guards both queues, the current, armed, wait and XOFF-counter
// slots and every exchange of a cancel routine.

// Completion priority boosts of the serial requests.
constexpr CCHAR kBoostRefused = IO_NO_INCREMENT;  // refusals, immediate write/control completions
constexpr CCHAR kBoostQueued = 2;   // zero-length reads, queued/wait/XOFF-counter cancels and DPCs
constexpr CCHAR kBoostRetired = 4;  // reads and writes retired from a current slot

// Starts serving the request just made current; returns what the dispatch
// routine returns (STATUS_PENDING after IoMarkIrpPending when it waits).
typedef NTSTATUS (*RequestStartRoutine)(PPORT_EXTENSION port);

// Where the next byte of a request's data goes (or comes from): set to the
// system buffer when the request is accepted, kept in the request's current
// stack location.
inline PVOID* DataCursorOf(PIRP irp) {
  return &IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4;
}

// Counts the request in PendingIrpCount and checks that the port may serve
// it. STATUS_SUCCESS lets the caller go on; any other status means the
// request has been completed with it. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS AdmitRequest(PDEVICE_OBJECT device, PIRP irp);

// The one completion of an admitted request: completes it with its
// IoStatus.Status, which it returns, and takes it out of PendingIrpCount.
// Never with the cancel spin lock held.
NTSTATUS CompleteRequest(PPORT_EXTENSION port, PIRP irp, CCHAR boost);

// Makes the request the queue's current one and runs `start_routine`, or
// queues it (pending, cancellable) behind the current one. A request already
// cancelled is completed with STATUS_CANCELLED. The dispatch routine returns
// the result and does not touch the request again.
NTSTATUS StartOrQueue(PDEVICE_OBJECT device, PIRP irp, PLIST_ENTRY queue, PIRP* current_slot,
                      RequestStartRoutine start_routine);

// Cancel routine of queued requests; entered with the cancel spin lock held,
// releases it.
DRIVER_CANCEL CancelQueuedRequest;

// Retires the current request (completing it unless its status is still
// STATUS_PENDING, which means another owner holds it) and promotes the
// queue's head, without starting it: the caller runs the start routine when
// the slot is no longer empty. Any IRQL up to DISPATCH_LEVEL.
void TakeNextRequest(PIRP* current_slot, PLIST_ENTRY queue, PPORT_EXTENSION port);

// Cancels every queued request, oldest first, then the current one: through
// its cancel routine when it is armed, otherwise by setting its Cancel flag
// for the thread or DPC that owns it. Any IRQL up to DISPATCH_LEVEL.
void AbortQueue(PDEVICE_OBJECT device, PLIST_ENTRY queue, PIRP* current_slot);

// Cancels the pending wait-on-mask request, if any.
void AbortWait(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// serial/event_wait.cpp: serial events and the pending wait-on-mask request.
// A producer sets an event in PendingEvents only when WaitMask has it, then
// runs DeliverEvents; producers run at PASSIVE_LEVEL or DISPATCH_LEVEL.

// Hands PendingEvents to the pending wait, if any, and queues its completion.
void DeliverEvents(PPORT_EXTENSION port);
// SERIAL_EV_TXEMPTY, when the mask has it: the write queue ran empty.
void SignalTxEmpty(PPORT_EXTENSION port);
// DPC routine of WaitCompleteDpc (context: the extension); completes the
// wait once it has its result.
KDEFERRED_ROUTINE WaitSatisfied;
// Cancel routine of the pending wait; entered with the cancel spin lock
// held, releases it.
DRIVER_CANCEL CancelWait;

// IOCTL_SERIAL_WAIT_ON_MASK, its output buffer already checked for 4 bytes.
// Returns STATUS_PENDING with the request parked in CurrentWaitIrp (marked
// pending, cancellable), or the status, also in IoStatus, of a request the
// caller completes: the pending events at once, STATUS_INVALID_PARAMETER
// without a mask, with a wait already parked or without a system buffer,
// STATUS_CANCELLED when it was cancelled before it could be parked.
NTSTATUS WaitOnMask(PDEVICE_OBJECT device, PIRP irp);
// IOCTL_SERIAL_SET_WAIT_MASK with a mask already checked to be below 0x1000:
// a parked wait completes with no events, events outside the new mask are
// forgotten and the modem-status thread re-reads the mask.
NTSTATUS SetWaitMask(PPORT_EXTENSION port, ULONG mask);

// ---------------------------------------------------------------------------
// serial/transfers_idle.cpp

// Returns once no bulk-OUT transfer is in progress and, when `force` is set,
// no bulk-IN transfer or status request either, or once the hub reports the
// device gone; aborts pipes (or resets the port of a chip below 0x20) while
// it waits. PASSIVE_LEVEL.
void WaitTransfersIdle(PDEVICE_OBJECT device, BOOLEAN force);
