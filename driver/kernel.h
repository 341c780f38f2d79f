// The driver's one include: the Windows kernel, USB, serial and WMI
// declarations every file of the driver uses. On Windows they come from
// mingw-w64's DDK headers, on the host from the test bed's own declarations
// of the same names (platform/include/nt). driver/probe checks at compile time
// that both sides agree on every name, value and layout the driver relies on.
#pragma once

#if defined(_WIN32)

// In C++, wdm.h defines these two although intrin.h already has; these
// markers keep wdm.h's copies out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
// usbdlib.h declares the USBD routines without giving them C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <wmistr.h>
#include <wmilib.h>
#include <wmidata.h>

// Of all the GUIDs these headers name, the driver needs the definition of
// GUID_DEVINTERFACE_COMPORT only, so only ntddser.h (it and its neighbour) is
// read with INITGUID: each file gets them as selectany constants, which the
// linker folds into one. DEFINE_GUID goes back to declaring afterwards.
#include <initguid.h>
#include <ntddser.h>
#undef INITGUID
#include <guiddef.h>

// Serial controls that mingw-w64's ntddser.h does not have.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

#else

#include "nt/all.h"

#endif
