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
