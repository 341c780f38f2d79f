// ModemStatusThread: follows the chip's modem inputs and line status for one
// port. It lives from AddDevice to DestroyPort and sleeps on StatusWakeEvent.
#include "vaxport.h"

void NTAPI ModemStatusThread(PVOID context) {
  PPORT_EXTENSION port = PortOf(static_cast<PDEVICE_OBJECT>(context));
  InterlockedIncrement(&port->ThreadCount);
  KeSetPriorityThread(KeGetCurrentThread(), kModemStatusPriority);

  while (PortThreadsMayRun(port))
    KeWaitForSingleObject(&port->StatusWakeEvent, Executive, KernelMode, FALSE, nullptr);

  // The port may be gone as soon as the count drops: nothing touches it after.
  InterlockedDecrement(&port->ThreadCount);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
