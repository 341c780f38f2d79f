// ReaderThread: moves received bytes from the chip's bulk-IN pipe into the
// port's receive ring. It lives from AddDevice to DestroyPort and sleeps on
// ReaderWakeEvent.
#include "vaxport.h"

void NTAPI ReaderThread(PVOID context) {
  PPORT_EXTENSION port = PortOf(static_cast<PDEVICE_OBJECT>(context));
  InterlockedIncrement(&port->ThreadCount);
  KeSetPriorityThread(KeGetCurrentThread(), kReaderPriority);

  while (PortThreadsMayRun(port))
    KeWaitForSingleObject(&port->ReaderWakeEvent, Executive, KernelMode, FALSE, nullptr);

  // The port may be gone as soon as the count drops: nothing touches it after.
  InterlockedDecrement(&port->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
