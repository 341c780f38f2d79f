// QZ719PT: tells an application whether a COM port is served by Vaxport, and
// calls it back with the COM number when a port arrives or is removed.
//
// Link against QZ719PT.dll or look the four names up with GetProcAddress;
// every export uses the Win32 calling convention (the callee removes its
// arguments). Each returns 0 for every failure and sets no error of its own.
#ifndef QZ719PT_H
#define QZ719PT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's version number, the value QZ719PtGetVersion returns.
#define QZ719PT_VERSION 16

// Called with n when port <prefix>n arrives and with -n when it is removed,
// 1 <= n <= 255. Runs in the thread that called QZ719PtSetDevNotify, while that
// thread retrieves or dispatches its messages.
typedef void(WINAPI* QZ719PT_NOTIFY_ROUTINE)(LONG PortNumber);

LONG WINAPI QZ719PtGetVersion(void);

// 1 if the opened communications device is a Vaxport port, else 0.
BOOL WINAPI QZ719PtHandleIsQZ719(HANDLE Port);

// 1 if the device of that name ("COM3", "\\.\COM12") is a Vaxport port, else
// 0. Opens the port for a moment, so a port that another program holds open
// reads as 0.
BOOL WINAPI QZ719PtNameIsQZ719(LPCSTR DeviceName);

// Turns device-change notification on (NotifyRoutine set) or off (null). The
// prefix (null or empty: "COM"; at most 63 characters) is matched upper-cased
// against the names of arriving and removed ports. Call from one thread, which
// must handle its messages. Returns 1 on success, 0 when notification could
// not be turned on; notification is then off.
BOOL WINAPI QZ719PtSetDevNotify(LPCSTR Prefix, QZ719PT_NOTIFY_ROUTINE NotifyRoutine);

#ifdef __cplusplus
}
#endif

#endif  // QZ719PT_H
