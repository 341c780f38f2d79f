// WriterThread: sends queued writes to the chip's bulk-OUT pipe. It lives
// from AddDevice to DestroyPort and sleeps on WriterWakeEvent.
#include "vaxport.h"

void NTAPI WriterThread(PVOID context) {
  PPORT_EXTENSION port = PortOf(static_cast<PDEVICE_OBJECT>(context));
  InterlockedIncrement(&port->ThreadCount);
  KeSetPriorityThread(KeGetCurrentThread(), kWriterPriority);

  while (PortThreadsMayRun(port))
    KeWaitForSingleObject(&port->WriterWakeEvent, Executive, KernelMode, FALSE, nullptr);

  // The port may be gone as soon as the count drops: nothing touches it after.
  InterlockedDecrement(&port->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
