// What the window and message files of the Win32 subset share: window
// classes, windows, and sending a message to a window of any thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "win32/state.h"

namespace vax::win32::internal {

struct WindowClass {
  std::string name;
  HINSTANCE instance = nullptr;
  UINT style = 0;
  WNDPROC proc = nullptr;  // for windows created from now on
  ATOM atom = 0;
  int windows = 0;  // alive; a class with windows cannot be unregistered
};

struct Window {
  HWND hwnd = nullptr;
  std::shared_ptr<WindowClass> window_class;
  std::shared_ptr<ThreadInfo> owner;  // the creating thread, which alone may destroy it
  std::string title;
  DWORD style = 0;
  DWORD ex_style = 0;
  HWND parent = nullptr;      // parent of a child, owner of an owned window
  bool message_only = false;  // made under HWND_MESSAGE: never enumerated nor broadcast to
  HMENU menu = nullptr;
  HINSTANCE instance = nullptr;
  WNDPROC proc = nullptr;
  LONG_PTR user_data = 0;
  bool visible = false;
  bool destroying = false;
};

// Everything here is guarded by `mutex`, the queues of ThreadInfo included.
struct UserState {
  vax::sim::Mutex mutex;
  std::vector<std::shared_ptr<WindowClass>> classes;
  std::map<ULONG_PTR, std::shared_ptr<Window>> windows;  // by handle: creation order
  ULONG_PTR next_window;
  ATOM next_atom;
};

UserState& User();

// The calling thread's state, now owning a message queue: user32 makes the
// queue on a thread's first call.
std::shared_ptr<ThreadInfo> CurrentUserThread();

std::shared_ptr<Window> FindWindowRecord(HWND hwnd);

// Top-level windows that take broadcasts (neither children nor
// message-only) in Z order: the most recently made on top, first.
std::vector<HWND> BroadcastTargets();

// Sends a message to `hwnd` and waits for the reply: a window of the calling
// thread gets it at once, any other when its thread next retrieves messages.
// While waiting, the caller answers messages sent to itself. `data` keeps
// what lparam points into alive for a receiver that gets it after the
// sender gave up. False with the last error set on an invalid window, a
// thread that ended, or when `deadline` passed first.
bool SendToWindow(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                  std::shared_ptr<const void> data, vax::sim::Ticks deadline, LRESULT* result);

// Answers the messages other threads sent to the calling thread.
void ReceiveSentMessages(ThreadInfo& self);

}  // namespace vax::win32::internal
