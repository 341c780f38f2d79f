// A port's life: AddDevice turns each QZ719 device the Plug and Play manager
// hands the driver into a named serial port with its threads, and
// DestroyPort takes all of it down again.
//
// AddDevice and DestroyPort run at PASSIVE_LEVEL; the Plug and Play manager
// calls them one at a time, which is what keeps PortTable consistent without
// a lock.
#include "vaxport.h"

namespace {

constexpr WCHAR kDeviceNamePrefix[] = L"\\Device\\Serial";

// \Device\SerialN: N from SerialCount, at least 2; when that name is taken,
// the numbers 19 to 63 are tried in turn.
constexpr ULONG kFirstDeviceNumber = 2;
constexpr ULONG kSpareDeviceNumberFirst = 19;
constexpr ULONG kSpareDeviceNumberLast = 63;

// Events, timers and DPCs of the extension, in the order they are set up and
// torn down.
constexpr KEVENT PORT_EXTENSION::*kPortEvents[] = {
    &PORT_EXTENSION::StatusWakeEvent,
    &PORT_EXTENSION::ReaderWakeEvent,
    &PORT_EXTENSION::WriterWakeEvent,
    &PORT_EXTENSION::WriteAbortEvent,
};

constexpr KTIMER PORT_EXTENSION::*kPortTimers[] = {
    &PORT_EXTENSION::ReadTotalTimer,
    &PORT_EXTENSION::ReadIntervalTimer,
    &PORT_EXTENSION::XoffTimer,
};

// The DPCs complete event waits, reads, writes and XOFF counters; a DPC whose
// request path the port does not serve is never queued and does nothing.
void NTAPI UnusedPortDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(context);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
}

struct PortDpc {
  KDPC PORT_EXTENSION::*dpc;
  PKDEFERRED_ROUTINE routine;
};
constexpr PortDpc kPortDpcs[] = {
    {&PORT_EXTENSION::WaitCompleteDpc, WaitSatisfied},
    {&PORT_EXTENSION::ReadTotalDpc, UnusedPortDpc},
    {&PORT_EXTENSION::ReadIntervalDpc, UnusedPortDpc},
    {&PORT_EXTENSION::ReadDataDpc, UnusedPortDpc},
    {&PORT_EXTENSION::WriteCompleteDpc, UnusedPortDpc},
    {&PORT_EXTENSION::XoffTimeoutDpc, UnusedPortDpc},
    {&PORT_EXTENSION::XoffDoneDpc, UnusedPortDpc},
};

// The port threads, started in this order.
constexpr PKSTART_ROUTINE kPortThreads[] = {ModemStatusThread, ReaderThread, WriterThread};

int FindFreeSlot() {
  for (int slot = 0; slot < kMaxPorts; ++slot) {
    if (PortTable[slot] == nullptr)
      return slot;
  }
  return -1;
}

void ReleaseSlot(PDEVICE_OBJECT device) {
  for (int slot = 0; slot < kMaxPorts; ++slot) {
    if (PortTable[slot] == device) {
      PortTable[slot] = nullptr;
      return;
    }
  }
}

// Gives back the 1 this port added to SerialCount.
void ReturnSerialCount() {
  PCONFIGURATION_INFORMATION config = IoGetConfigurationInformation();
  if (config->SerialCount > 0)
    --config->SerialCount;
}

// Creates the device object under \Device\Serial<*number>, or under the first
// free name from \Device\Serial19 to \Device\Serial63. The name's buffer is
// the first 64 bytes of `pool`. Returns the status of the last attempt.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT driver, PUCHAR pool, PULONG number,
                          PDEVICE_OBJECT* device) {
  UNICODE_STRING name;
  name.Buffer = reinterpret_cast<PWSTR>(pool + kPoolDeviceName);
  name.MaximumLength = kNameBufferBytes;
  RtlZeroMemory(name.Buffer, kNameBufferBytes);

  BuildNumberedName(&name, kDeviceNamePrefix, *number);
  NTSTATUS status = IoCreateDevice(driver, sizeof(PORT_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, device);
  for (ULONG n = kSpareDeviceNumberFirst; !NT_SUCCESS(status) && n <= kSpareDeviceNumberLast; ++n) {
    *number = n;
    BuildNumberedName(&name, kDeviceNamePrefix, n);
    status = IoCreateDevice(driver, sizeof(PORT_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, device);
  }
  return status;
}

void SetPortDefaults(PPORT_EXTENSION port) {
  PUCHAR pool = static_cast<PUCHAR>(port->PoolBase);
  port->DosLinkName.Buffer = reinterpret_cast<PWSTR>(pool + kPoolDosLinkName);
  port->DosLinkName.MaximumLength = kNameBufferBytes;
  port->RequestBlockSlot = pool + kPoolSpareBlock;
  port->StatusRequestBlock = pool + kPoolStatusBlock;
  port->WriteUrb = pool + kPoolWriteBlock;
  port->ReceiveBuffer = pool + kPoolReceiveRing;
  port->ReceiveBufferSize = kReceiveBufferSize;
  port->Receive80Level = kReceiveBufferSize * 4 / 5;

  port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  port->HandFlow.XonLimit = static_cast<LONG>(kReceiveBufferSize / 2);
  port->HandFlow.XoffLimit = static_cast<LONG>(kReceiveBufferSize / 8);
  port->Chars.XonChar = 0x11;
  port->Chars.XoffChar = 0x13;
  port->DataMask = 0xFF;
  port->BaudRate = 19200;

  port->PrescalerShadow = kShadowInvalid;
  port->DivisorShadow = kShadowInvalid;
  port->CharTimeShadow = kShadowInvalid;
  port->Lcr1Shadow = kShadowInvalid;
  port->Lcr2Shadow = kShadowInvalid;
  port->InTransferLength = kBulkPacketSize;
}

void InitializePortObjects(PPORT_EXTENSION port) {
  KeInitializeSpinLock(&port->ControlLock);
  ExInitializeFastMutex(&port->OpenMutex);
  InitializeListHead(&port->ReadQueue);
  InitializeListHead(&port->WriteQueue);
  for (KEVENT PORT_EXTENSION::*event : kPortEvents)
    KeInitializeEvent(&(port->*event), SynchronizationEvent, FALSE);
  for (KTIMER PORT_EXTENSION::*timer : kPortTimers)
    KeInitializeTimer(&(port->*timer));
  for (const PortDpc& entry : kPortDpcs)
    KeInitializeDpc(&(port->*entry.dpc), entry.routine, port);
}

// Takes the interface name away from the port threads, which end at their
// next wake once it is gone, and frees it.
void DropInterfaceName(PPORT_EXTENSION port) {
  UNICODE_STRING name = port->InterfaceName;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->InterfaceName.Buffer),
                             nullptr);
  RtlFreeUnicodeString(&name);
}

// Starts the three port threads. A port without one of them would take
// requests it can never serve, so a thread that cannot be created fails the
// whole set: the ones already running are told to end and waited for.
NTSTATUS StartPortThreads(PDEVICE_OBJECT device) {
  PPORT_EXTENSION port = PortOf(device);
  for (PKSTART_ROUTINE routine : kPortThreads) {
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, routine, device);
    if (!NT_SUCCESS(status)) {
      DropInterfaceName(port);
      StopPortThreads(device);
      return status;
    }
    ZwClose(thread);
  }
  return STATUS_SUCCESS;
}

// Undoes a port that never finished AddDevice. Its name, link and interface
// are already gone.
NTSTATUS FailNewPort(PDEVICE_OBJECT device, NTSTATUS status) {
  PPORT_EXTENSION port = PortOf(device);
  PVOID pool = port->PoolBase;
  port->Removed = TRUE;
  if (port->LowerDevice != nullptr) {
    IoDetachDevice(port->LowerDevice);
    port->LowerDevice = nullptr;
  }
  ReleaseSlot(device);
  IoDeleteDevice(device);
  ExFreePoolWithTag(pool, kPoolTag);
  ReturnSerialCount();
  return status;
}

}  // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (pdo == nullptr)
    return STATUS_NO_MORE_ENTRIES;
  const int slot = FindFreeSlot();
  if (slot < 0)
    return STATUS_NO_MORE_ENTRIES;

  // The count goes up before anything can fail, so that a port created by
  // another serial driver meanwhile cannot pick the same number.
  PCONFIGURATION_INFORMATION config = IoGetConfigurationInformation();
  ULONG number = config->SerialCount++;
  if (number < kFirstDeviceNumber)
    number = kFirstDeviceNumber;

  auto* pool = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kPortPoolSize, kPoolTag));
  if (pool == nullptr) {
    ReturnSerialCount();
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = CreatePortDevice(driver, pool, &number, &device);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(pool, kPoolTag);
    ReturnSerialCount();
    return status;
  }

  PPORT_EXTENSION port = PortOf(device);
  RtlZeroMemory(port, sizeof(*port));
  port->Pdo = pdo;
  port->DeviceObject = device;
  port->PoolBase = pool;
  port->PortNumber = number;
  port->DeviceName.Buffer = reinterpret_cast<PWSTR>(pool + kPoolDeviceName);
  port->DeviceName.MaximumLength = kNameBufferBytes;
  BuildNumberedName(&port->DeviceName, kDeviceNamePrefix, number);

  port->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
  if (port->LowerDevice == nullptr)
    return FailNewPort(device, STATUS_UNSUCCESSFUL);
  PortTable[slot] = device;

  SetPortDefaults(port);
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  InitializePortObjects(port);

  status = NamePort(port);
  if (!NT_SUCCESS(status))
    return FailNewPort(device, status);

  // The interface stays disabled until the port is started.
  status =
      IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &port->InterfaceName);
  if (!NT_SUCCESS(status)) {
    port->InterfaceName.Buffer = nullptr;
    UnnamePort(port);
    return FailNewPort(device, status);
  }

  status = StartPortThreads(device);
  if (!NT_SUCCESS(status)) {
    UnnamePort(port);
    return FailNewPort(device, status);
  }
  return STATUS_SUCCESS;
}

void StopPortThreads(PDEVICE_OBJECT device) {
  PPORT_EXTENSION port = PortOf(device);
  for (ULONG pass = 0;; ++pass) {
    // Wakes on the first passes and then on every pass once threads linger:
    // a thread busy with USB work when the first wake came needs another.
    if (pass == 0 || pass == 2 || pass >= 8) {
      KeSetEvent(&port->ReaderWakeEvent, EVENT_INCREMENT, FALSE);
      KeSetEvent(&port->WriterWakeEvent, EVENT_INCREMENT, FALSE);
      KeSetEvent(&port->WriteAbortEvent, EVENT_INCREMENT, FALSE);
      KeSetEvent(&port->StatusWakeEvent, EVENT_INCREMENT, FALSE);
      // Threads still there after a quarter of a second are stuck in USB
      // transfers: drain them by force while the port still has its name.
      if (pass >= 13 && port->InterfaceName.Buffer != nullptr)
        WaitTransfersIdle(device, TRUE);
    }
    if (InterlockedCompareExchange(&port->ThreadCount, 0, 0) == 0)
      return;
    SleepOnePoll();
  }
}

void DestroyPort(PDEVICE_OBJECT device) {
  if (device == nullptr)
    return;
  PPORT_EXTENSION port = PortOf(device);
  port->Removed = TRUE;

  if (port->InterfaceName.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
    DropInterfaceName(port);
  }

  // A port whose link a newer port took over has nothing left to delete
  // here, so the newer port's link and SERIALCOMM value survive.
  UnnamePort(port);

  port->ReadTotalTimerArmed = FALSE;
  for (KTIMER PORT_EXTENSION::*timer : kPortTimers)
    KeCancelTimer(&(port->*timer));
  for (const PortDpc& entry : kPortDpcs)
    KeRemoveQueueDpc(&(port->*entry.dpc));

  StopPortThreads(device);
  DeconfigureDevice(device);

  if (port->LowerDevice != nullptr) {
    IoDetachDevice(port->LowerDevice);
    port->LowerDevice = nullptr;
  }
  ReleaseSlot(device);
  ExFreePoolWithTag(port->PoolBase, kPoolTag);
  port->PoolBase = nullptr;
  ReturnSerialCount();
  IoDeleteDevice(device);
}
