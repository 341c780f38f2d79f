// PORT_EXTENSION, the one record that holds all state of one serial port, the
// driver-wide state every port shares, and the chip's protocol constants.
//
// Every field says what guards it and who writes it. Keep those comments
// true: the locking rules of the whole driver are written here.
#pragma once

#include "kernel.h"

// ---------------------------------------------------------------------------
// Driver-wide limits and layout of a port's memory

constexpr int kMaxPorts = 16;

// Request block: a URB first, then a small data area (one character to send,
// a status read of up to 8 bytes). On the 32-bit target the largest URB form
// the driver builds is 80 bytes and the block is 96 + 32 = 128 bytes; a 64-bit
// build has wider URBs and gets a block sized for them.
constexpr ULONG RoundUp16(SIZE_T n) {
  return static_cast<ULONG>((n + 15) & ~SIZE_T{15});
}
constexpr SIZE_T LargerOf(SIZE_T a, SIZE_T b) {
  return a > b ? a : b;
}
constexpr ULONG kLargestUrb =
    static_cast<ULONG>(LargerOf(LargerOf(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                                         sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                LargerOf(LargerOf(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                  sizeof(struct _URB_PIPE_REQUEST)),
                                         sizeof(struct _URB_SELECT_CONFIGURATION))));
constexpr ULONG kRequestBlockUrbBytes = kLargestUrb <= 96 ? 96 : RoundUp16(kLargestUrb);
constexpr ULONG kRequestBlockData = kRequestBlockUrbBytes;
constexpr ULONG kRequestBlockSize = kRequestBlockUrbBytes + 32;

// PortPool: one block of non-paged pool per port, carved at fixed offsets.
constexpr ULONG kNameBufferBytes = 64;
constexpr ULONG kPoolDeviceName = 0;    // "\Device\SerialN"
constexpr ULONG kPoolDosLinkName = 64;  // "\DosDevices\COMn"
constexpr ULONG kPoolComName = 128;     // the COM name; WmiPortName shares it
constexpr ULONG kPoolSpareBlock = 256;  // spare request block
constexpr ULONG kPoolStatusBlock = kPoolSpareBlock + kRequestBlockSize;  // modem-status thread's
constexpr ULONG kPoolWriteBlock = kPoolStatusBlock + kRequestBlockSize;  // writer thread's
constexpr ULONG kPoolReceiveRing = kPoolWriteBlock + kRequestBlockSize;  // the receive ring
constexpr ULONG kReceiveBufferSize = 68992;
constexpr ULONG kPortPoolSize = kPoolReceiveRing + kReceiveBufferSize;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(kRequestBlockSize == 128 && kPoolReceiveRing == 640 && kPortPoolSize == 0x11000,
              "the 32-bit port pool layout");
#endif

// Pipe selectors, shared with the vendor pass-through request.
enum PipeSelector : ULONG {
  kInterruptPipe = 5,  // endpoint 0x81
  kBulkInPipe = 6,     // endpoint 0x82
  kBulkOutPipe = 7,    // endpoint 0x02
};

constexpr ULONG kMaxTransferSize = 4096;  // bound on every bulk and interrupt transfer
constexpr ULONG kBulkPacketSize = 32;

// Pool tag of every allocation of the driver: "VaxP" in a pool dump.
constexpr ULONG kPoolTag = 'V' | ('a' << 8) | ('x' << 16) | ('P' << 24);

// ---------------------------------------------------------------------------
// The chip protocol: vendor requests (bmRequestType 0x40 OUT, 0xC0 IN)

enum VendorRequestCode : UCHAR {
  VR_STATUS_BLOCK = 0x52,   // IN, up to 8 bytes; byte 4 data, byte 5 bit 0 busy (below 0x20)
  VR_BYTE_COMMAND = 0x53,   // OUT, value = data byte, index = 256 x p1 + p2 (below 0x20)
  VR_BYTE_ACCESS = 0x54,    // IN/OUT chip byte access (0x20 and above)
  VR_BYTE_FINISH = 0x5E,    // OUT, value 10, after a VR_BYTE_ACCESS write
  VR_GET_VERSION = 0x5F,    // IN, up to 7 bytes; byte 0 = version
  VR_READ_REGS = 0x95,      // IN, value = regA + 256 x regB, 2 bytes back
  VR_WRITE_REGS = 0x9A,     // OUT, value = regA + 256 x regB, index = valA + 256 x valB
  VR_SERIAL_INIT = 0xA1,    // OUT, whole serial set-up in one request
  VR_MODEM_CONTROL = 0xA4,  // OUT, value = complemented ModemControlImage (0x20 and above)
};

// Chip registers (8 bits each).
enum ChipRegister : UCHAR {
  REG_LINE_AUX = 0x05,        // bit 0: 1 normal, 0 break; bit 1: framing (1) vs break (0) on 0x30+
  REG_MODEM = 0x06,           // bits 0-3 inputs CTS DSR RI DCD, bits 4-6 outputs; 0 = asserted
  REG_TX_STATUS = 0x07,       // bit 0: transmitter busy
  REG_CHAR_TIME_PAIR = 0x0F,  // written 0 in the same request as REG_CHAR_TIME
  REG_PRESCALER = 0x12,       // bits 0-2 prescaler code, bit 7 set on 0x30+
  REG_DIVISOR = 0x13,         // 256 minus the divisor
  REG_LCR1 = 0x18,            // line control 1; bit 6: 1 normal, 0 break
  REG_LCR2 = 0x25,            // line control 2; hardware parity mode below 0x30
  REG_HW_FLOW = 0x27,         // 0x30+: bit 0 CTS, bit 1 DSR, bit 3 DCD output handshake
  REG_CHAR_TIME = 0x2C,       // character time
};

// Transfer flags the driver uses with VendorRequest.
constexpr ULONG kVendorOut = 0;  // USBD_TRANSFER_DIRECTION_OUT
constexpr ULONG kVendorIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// Chip generations: behaviour changes below 0x20, at exactly 0x25 and from 0x30.
constexpr ULONG kChipVersion1 = 1;
constexpr ULONG kChipVersionInterrupt = 0x20;  // status packets on the interrupt pipe
constexpr ULONG kChipVersionAux25 = 0x25;
constexpr ULONG kChipVersionNewLine = 0x30;  // new line-control layout, hardware handshake

// A shadow register value above 0xFF means "not known to be in the chip".
constexpr ULONG kShadowInvalid = 0xFFFFFFFF;

// Modem-control outputs in ModemControlImage (positive logic).
constexpr UCHAR kModemControlThird = 0x10;
constexpr UCHAR kModemControlDtr = 0x20;
constexpr UCHAR kModemControlRts = 0x40;

// Transmit holds (TxHolding) and receive holds (RxHolding).
enum TxHold : ULONG {
  kTxHoldCts = 0x01,
  kTxHoldDsr = 0x02,
  kTxHoldDcd = 0x04,
  kTxHoldXoff = 0x08,
  kTxHoldBreak = 0x10,
};
enum RxHold : ULONG {
  kRxHoldDtr = 0x01,
  kRxHoldXoffSent = 0x02,
  kRxHoldRts = 0x04,
  kRxHoldDsr = 0x08,
};

enum OpenStateValue : UCHAR { kPortClosed = 0, kPortOpening = 1, kPortOpen = 2 };

// ---------------------------------------------------------------------------
// The port extension

typedef struct _PORT_EXTENSION {
  // Identity and names. Written only by AddDevice and DestroyPort, which the
  // Plug and Play manager serialises; read without a lock.
  ULONG PortNumber;              // the N of \Device\SerialN; stepped for fallback COM names
  PDEVICE_OBJECT DeviceObject;   // this port's device object
  UNICODE_STRING DeviceName;     // "\Device\SerialN"; also the SERIALCOMM value name
  UNICODE_STRING DosLinkName;    // "\DosDevices\COMn"; null buffer: link and SERIALCOMM value gone
  UNICODE_STRING ComName;        // the COM name
  UNICODE_STRING InterfaceName;  // COMPORT interface link; null buffer: port dying, threads end

  // Device stack and pipes. Written by AddDevice, configuration and removal.
  PDEVICE_OBJECT Pdo;          // physical device object given to AddDevice
  PDEVICE_OBJECT LowerDevice;  // target of every forwarded IRP and USB request; null after detach
  USBD_PIPE_HANDLE InterruptPipe;  // endpoint 0x81; may stay null
  USBD_PIPE_HANDLE BulkInPipe;     // endpoint 0x82
  USBD_PIPE_HANDLE BulkOutPipe;    // endpoint 0x02

  // Counters (interlocked) and port state bytes (single writers, lock-free readers).
  LONG PendingIrpCount;    // requests between dispatch entry and completion; interlocked
  LONG UsbRequestCount;    // USB activity in progress; interlocked
  UCHAR OpenState;         // OpenStateValue; open/close under OpenMutex
  UCHAR Started;           // started and in D0; PnP and power
  UCHAR Removed;           // removal accepted or under way; PnP
  UCHAR RemovePending;     // a removal request seen and not cancelled; PnP
  LONG ThreadCount;        // live port threads; interlocked by the threads
  PVOID RequestBlockSlot;  // the spare request block or null; interlocked exchange

  // Receive ring. Reader thread produces, read path consumes; pointer resets under ControlLock.
  PUCHAR ReceiveBuffer;     // start of the ring; fixed
  ULONG ReceiveBufferSize;  // capacity; fixed
  ULONG Receive80Level;     // SERIAL_EV_RX80FULL threshold; fixed
  PUCHAR ReceiveWritePtr;   // next byte to fill; reader thread, reset under ControlLock
  PUCHAR ReceiveReadPtr;    // next byte to hand out; read path, reset under ControlLock
  LONG ReceiveCount;        // bytes in the ring; interlocked; reader adds, read path subtracts

  // Serial settings. Copied in and out under ControlLock.
  SERIAL_TIMEOUTS Timeouts;    // read and write timeouts in force
  SERIAL_CHARS Chars;          // special characters; the reader thread filters by them
  SERIAL_HANDFLOW HandFlow;    // handshake and flow settings; limits reset at every open
  SERIALPERF_STATS PerfStats;  // zeroed at every open; reader and writer count
  UCHAR LineParity;            // 0 none, 1 odd, 2 even, 3 mark, 4 space
  UCHAR DataMask;              // 0x1F, 0x3F, 0x7F or 0xFF for 5 to 8 data bits
  UCHAR LineStopBits;          // 0 one, 1 one and a half, 2 two
  ULONG BaudRate;              // rate in force; read without the lock by the chip routines

  // Locks. ControlLock is taken before the cancel spin lock when both are needed.
  KSPIN_LOCK ControlLock;  // settings above, WaitMask, EscapeChar, ring resets, read service
  FAST_MUTEX OpenMutex;    // serialises open against close

  // Events, flow and line state. Plain read-modify-write by the threads and controls.
  ULONG WaitMask;           // SERIAL_EV_* in force; ControlLock; cleared at open
  ULONG PendingEvents;      // SERIAL_EV_* seen and not yet delivered; cleared at open
  ULONG TxHolding;          // TxHold reasons; cleared at close
  ULONG RxHolding;          // RxHold reasons; cleared at close
  ULONG ErrorWord;          // SERIAL_ERROR_* since the last GET_COMMSTATUS
  UCHAR EscapeChar;         // LSRMST_INSERT escape, 0 = off; ControlLock; cleared at open
  UCHAR ModemControlImage;  // outputs in positive logic: kModemControlDtr/Rts/Third
  UCHAR ModemStatus;        // inputs in the 16550 MSR layout; modem-status thread

  // Memory.
  PVOID PoolBase;  // PortPool; freed by DestroyPort

  // Chip state. Written by the chip routines and the modem-status thread.
  ULONG PrescalerShadow;      // last REG_PRESCALER value written, or kShadowInvalid
  ULONG DivisorShadow;        // last REG_DIVISOR value written, or kShadowInvalid
  ULONG CharTimeShadow;       // last REG_CHAR_TIME value written, or kShadowInvalid
  ULONG Lcr1Shadow;           // last REG_LCR1 value written, or kShadowInvalid
  ULONG Lcr2Shadow;           // last REG_LCR2 value written, or kShadowInvalid
  ULONG ChipVersion;          // generation learnt at configuration
  ULONG InterruptStatusWord;  // bytes 0-3 of the last status packet; modem-status thread
  ULONG InTransferLength;     // bytes per bulk-IN transfer; configuration

  // Modem-status thread and event wait.
  KEVENT StatusWakeEvent;       // synchronization; wakes ModemStatusThread
  KDPC WaitCompleteDpc;         // completes CurrentWaitIrp
  PIRP CurrentWaitIrp;          // pending WAIT_ON_MASK; cancel spin lock (and ControlLock)
  PVOID StatusRequestBlock;     // the modem-status thread's request block; owned by it
  LONG StatusRequestsInFlight;  // status-thread USB requests in progress; interlocked
  ULONG ToggleRtsRequests;      // drop RTS once idle (transmit toggle); plain increments

  // Read side. Queue and slots under the cancel spin lock; transfer lists owned by the reader.
  LIST_ENTRY ReadQueue;       // waiting reads, oldest first; cancel spin lock
  KEVENT ReaderWakeEvent;     // synchronization; wakes ReaderThread
  KTIMER ReadTotalTimer;      // total read timeout
  KDPC ReadTotalDpc;          // runs when ReadTotalTimer expires
  UCHAR ReadTotalTimerArmed;  // ReadTotalTimer is set; read service and the read DPCs
  KTIMER ReadIntervalTimer;   // read interval timeout
  KDPC ReadIntervalDpc;       // runs when ReadIntervalTimer expires
  KDPC ReadDataDpc;           // re-serves an armed read when data arrived
  PIRP CurrentReadIrp;        // read being served; cancel spin lock
  PIRP ArmedReadIrp;  // == CurrentReadIrp while it waits for data or a timer; cancel spin lock
  LONG InTransfersPending;       // bulk-IN transfers submitted and not reaped; interlocked
  PVOID InTransferPool;          // the reader's ten transfer elements; reader thread
  PVOID InFreeList;              // idle transfer elements; reader thread
  PVOID InBusyList;              // submitted transfer elements, oldest first; reader thread
  UCHAR ReadIntervalTimerArmed;  // ReadIntervalTimer was set; read service and the read DPCs
  UCHAR ReadDataDpcQueued;       // ReadDataDpc has been queued; set by its queuer, cleared by it

  // Write side. Queue and slots under the cancel spin lock; WriteUrb owned by the writer.
  LIST_ENTRY WriteQueue;     // waiting writes and XOFF counters, oldest first; cancel spin lock
  KEVENT WriterWakeEvent;    // synchronization; wakes WriterThread
  KEVENT WriteAbortEvent;    // synchronization; ends the writer's wait for a bulk-OUT transfer
  KDPC WriteCompleteDpc;     // finishes a write after the writer thread
  PIRP CurrentWriteIrp;      // write-queue request being served; cancel spin lock
  PIRP ArmedWriteIrp;        // == CurrentWriteIrp once handed to the writer; cancel spin lock
  PVOID WriteUrb;            // the writer thread's request block; owned by it
  LONG OutTransfersPending;  // bulk-OUT transfers in progress; interlocked
  LONG WriteBytesQueued;     // bytes of write-queue requests not finished (AmountInOutQueue);
                             // cancel spin lock in the queue routines, plain in the writer
  LONG XoffCountRemaining;   // received bytes still to count for CurrentXoffIrp; set with it
                             // under the cancel spin lock, counted down by the reader
  KTIMER XoffTimer;          // XOFF counter timeout
  KDPC XoffTimeoutDpc;       // runs when XoffTimer expires
  KDPC XoffDoneDpc;          // completes the XOFF counter request
  PIRP CurrentXoffIrp;       // parked XOFF_COUNTER request; cancel spin lock

  // WMI. Copies read by the WMI callbacks without a lock; each field one aligned word or byte.
  WMILIB_CONTEXT WmiLibInfo;         // filled at every start
  UNICODE_STRING WmiPortName;        // the COM name; shares the ComName buffer
  SERIAL_WMI_COMM_DATA WmiCommData;  // rebuilt at every start
  SERIAL_WMI_HW_DATA WmiHwData;      // all zero
  SERIAL_WMI_PERF_DATA WmiPerfData;  // zeroed at start and at every open
} PORT_EXTENSION, *PPORT_EXTENSION;

inline PPORT_EXTENSION PortOf(PDEVICE_OBJECT device) {
  return static_cast<PPORT_EXTENSION>(device->DeviceExtension);
}

// ---------------------------------------------------------------------------
// Driver-wide state. No lock: DriverEntry and unload run alone, and the Plug
// and Play manager serialises AddDevice and removals, the only writers of
// PortTable; port threads only test GlobalDriverObject for null.

extern PDRIVER_OBJECT GlobalDriverObject;    // null: the driver is unloading, threads leave
extern UNICODE_STRING ServiceKeyPath;        // private copy of the service key path
extern ULONG UserRemoval;                    // "UserRemoval" of the service key, 0 if absent
extern PDEVICE_OBJECT PortTable[kMaxPorts];  // one slot per port device object
