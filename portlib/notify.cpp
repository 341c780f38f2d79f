// Device-change notification: a hidden top-level window in the caller's thread
// receives the system's WM_DEVICECHANGE broadcasts for ports, turns the port
// name into a COM number and calls the application back with it.
//
// The state is one set per process and has no lock: notification belongs to
// the one thread that turns it on and off, and the window procedure runs in
// that thread.
#include <windows.h>
#include <dbt.h>

#include "notify.h"
#include "qz719pt.h"

namespace {

const char mWndClassName[] = "QZ719PT_NotifyWnd";
const char kWindowName[] = "QZ719PT_NotifyWnd_0";
const char kDefaultPrefix[] = "COM";

// Ports are reported as 1..255; anything else in a name is not a port number.
constexpr LONG kFirstPort = 1;
constexpr LONG kLastPort = 255;

constexpr DWORD kPrefixCapacity = 64;  // terminator included

// The value dllWindowsHandle and dllModuleInstance hold when there is none.
inline HWND NoWindow() {
  return reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
}
inline HINSTANCE NoInstance() {
  return reinterpret_cast<HINSTANCE>(static_cast<LONG_PTR>(-1));
}

QZ719PT_NOTIFY_ROUTINE dllNotifyRoutine = nullptr;  // null: notification is off
// The notification window: NoWindow() after a teardown, null after a failed
// creation.
HWND dllWindowsHandle = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
DWORD dllWindowThread = 0;  // the thread that made dllWindowsHandle
// The executable's module handle, under which the window class is registered.
HINSTANCE dllModuleInstance = reinterpret_cast<HINSTANCE>(static_cast<LONG_PTR>(-1));
char dllNotifyID[kPrefixCapacity] = "";  // the port-name prefix, upper case

bool IsWindowMade(HWND window) {
  return window != nullptr && window != NoWindow();
}

// The first place in text where part occurs in full, byte for byte and
// case-sensitive, or null. An empty text contains nothing; an empty part is
// found at the start of any other text.
const char* CmpSubStrInStr(const char* text, const char* part) {
  if (*text == '\0') {
    return nullptr;
  }
  for (const char* start = text; *start != '\0'; ++start) {
    const char* t = start;
    const char* p = part;
    while (*p != '\0' && *t == *p) {
      ++t;
      ++p;
    }
    if (*p == '\0') {
      return start;
    }
  }
  return nullptr;
}

DWORD LengthOf(const char* text) {
  DWORD length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  return length;
}

// What a broadcast reports for the registered prefix: n for the arrival of
// <prefix>n, -n for its removal, 0 for a broadcast that reports nothing.
LONG PortNumberOf(WPARAM event, LPARAM data) {
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) {
    return 0;
  }
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (header == nullptr || header->dbch_size < sizeof(DEV_BROADCAST_HDR) ||
      header->dbch_devicetype != DBT_DEVTYP_PORT) {
    return 0;
  }
  // The name is read only within the dbch_size bytes the sender declares and
  // must end there; a name without its terminator reports nothing.
  const char* name = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(header)->dbcp_name;
  const DWORD room = header->dbch_size - FIELD_OFFSET(DEV_BROADCAST_PORT_A, dbcp_name);
  DWORD length = 0;
  while (length < room && name[length] != '\0') {
    ++length;
  }
  if (length == room) {
    return 0;
  }
  // The prefix may stand anywhere in the name ("XCOM12" is port 12); the name
  // is compared as it is, not upper-cased.
  const char* match = CmpSubStrInStr(name, dllNotifyID);
  if (match == nullptr) {
    return 0;
  }
  // The digits right after the prefix, up to the first non-digit ("COM3A" is
  // port 3). The name is read in place, so its length sets no limit. A value
  // past 255 names no port whatever digits follow: stopping there also keeps
  // a long digit string from wrapping round to a small number.
  LONG number = 0;
  for (const char* digit = match + LengthOf(dllNotifyID); *digit >= '0' && *digit <= '9'; ++digit) {
    number = number * 10 + (*digit - '0');
    if (number > kLastPort) {
      return 0;
    }
  }
  if (number < kFirstPort) {
    return 0;
  }
  return event == DBT_DEVICEREMOVECOMPLETE ? -number : number;
}

LRESULT CALLBACK dllNotifyWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DEVICECHANGE) {
    const LONG number = PortNumberOf(wparam, lparam);
    if (number != 0 && dllNotifyRoutine != nullptr) {
      dllNotifyRoutine(number);
    }
    return 0;
  }
  if (message == WM_NCDESTROY && window == dllWindowsHandle) {
    // Destroyed by someone other than the library (the application, or the
    // system when the thread ended first): notification is off, and the stale
    // handle, which may soon name another window, is forgotten.
    dllNotifyRoutine = nullptr;
    dllWindowsHandle = NoWindow();
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// Turns notification off: the routine first, so that nothing reaches the
// application while its window goes. Harmless when nothing is registered.
void EndNotification() {
  dllNotifyRoutine = nullptr;
  const HWND window = dllWindowsHandle;
  dllWindowsHandle = NoWindow();
  if (IsWindowMade(window)) {
    DestroyWindow(window);
  }
  if (dllModuleInstance != NoInstance()) {
    UnregisterClassA(mWndClassName, dllModuleInstance);
  }
}

}  // namespace

void EndNotificationForThread() {
  if (IsWindowMade(dllWindowsHandle) && dllWindowThread == GetCurrentThreadId()) {
    EndNotification();
  }
}

void EndNotificationForUnload() {
  const HWND window = dllWindowsHandle;
  if (IsWindowMade(window) && dllWindowThread != GetCurrentThreadId()) {
    // Only the owning thread may destroy the window. Point it and its class at
    // the system's procedure instead, so that neither a later message nor a
    // window made from the class later runs code of the unloaded library. The
    // class then stays registered; QZ719PtSetDevNotify copes with that.
    dllNotifyRoutine = nullptr;
    dllWindowsHandle = NoWindow();
    const auto system_procedure = reinterpret_cast<LONG_PTR>(&DefWindowProcA);
    SetWindowLongPtrA(window, GWLP_WNDPROC, system_procedure);
    SetClassLongPtrA(window, GCLP_WNDPROC, system_procedure);
  }
  EndNotification();
}

extern "C" BOOL WINAPI QZ719PtSetDevNotify(LPCSTR Prefix, QZ719PT_NOTIFY_ROUTINE NotifyRoutine) {
  if (NotifyRoutine == nullptr || dllNotifyRoutine != nullptr) {
    EndNotification();
  }
  if (NotifyRoutine == nullptr) {
    return TRUE;
  }

  // A prefix that does not fit is refused rather than shortened: a shortened
  // prefix would match ports the caller did not ask for.
  DWORD prefix_length = 0;
  if (Prefix != nullptr) {
    while (prefix_length < kPrefixCapacity && Prefix[prefix_length] != '\0') {
      ++prefix_length;
    }
    if (prefix_length == kPrefixCapacity) {
      return FALSE;
    }
  }

  // The class is registered under the executable, not the library. A class
  // already registered is used as it is.
  dllModuleInstance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = dllNotifyWndProc;
  window_class.hInstance = dllModuleInstance;
  window_class.lpszClassName = mWndClassName;
  RegisterClassA(&window_class);

  const HWND window = CreateWindowExA(0, mWndClassName, kWindowName, WS_POPUP, 0, 0, 0, 0, nullptr,
                                      nullptr, dllModuleInstance, nullptr);
  if (window == nullptr) {
    dllWindowsHandle = nullptr;
    UnregisterClassA(mWndClassName, dllModuleInstance);
    return FALSE;
  }
  // A class left by an earlier copy of the library, unloaded while another
  // thread's window lived, carries the system's procedure: make sure this
  // window reports to this copy.
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&dllNotifyWndProc));
  dllWindowsHandle = window;
  dllWindowThread = GetCurrentThreadId();
  ShowWindow(window, SW_HIDE);

  const char* prefix = prefix_length != 0 ? Prefix : kDefaultPrefix;
  const DWORD length = prefix_length != 0 ? prefix_length : LengthOf(kDefaultPrefix);
  for (DWORD i = 0; i <= length; ++i) {
    dllNotifyID[i] = prefix[i];
  }
  CharUpperBuffA(dllNotifyID, length);

  dllNotifyRoutine = NotifyRoutine;
  return TRUE;
}
