// What the Win32 subset's files share with each other and with nobody else:
// the per-thread state (last error, message queue), the user-mode handle
// table and the objects behind it, and the boot of each facility.
//
// Locking: each facility keeps its state under its own sim::Mutex. No mutex
// is held across a call into the kernel, a driver or a window procedure: all
// of them may reach a scheduling point.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "nt/kernel.h"
#include "sim/scheduler.h"
#include "win32/windows.h"

namespace vax::win32::internal {

// A message sent to a window of another thread, queued until that thread
// retrieves messages. The sender waits for `done`, or gives up (timeout,
// sender gone) and leaves the reply to nobody.
struct ThreadInfo;
struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  std::shared_ptr<const void> data;  // what lparam points into, kept for the receiver
  std::shared_ptr<ThreadInfo> sender;
  bool done = false;  // user state mutex
  LRESULT result = 0;
};

// Win32 state of one sim thread, created on its first Win32 call. The fields
// after `wake` are its message queue, guarded by the user state mutex
// (user.h); `wake` is set whenever something arrives for the thread (a posted
// or sent message, the reply to its own send).
struct ThreadInfo {
  vax::sim::Thread* sim = nullptr;
  DWORD id = 0;
  DWORD last_error = 0;  // touched only by the thread itself
  KEVENT wake;           // synchronization event

  bool has_queue = false;  // called into user32: thread messages may be posted to it
  bool ended = false;      // its windows are gone; sends to it fail at once
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> incoming;
  bool quit = false;
  int quit_code = 0;
};

// A sim thread's state, created on first use (by the thread itself or by the
// one that created it, whichever asks first).
std::shared_ptr<ThreadInfo> ThreadInfoOf(vax::sim::Thread* thread);
std::shared_ptr<ThreadInfo> CurrentThreadInfo();
std::shared_ptr<ThreadInfo> FindThread(DWORD id);
// Forgets a thread that ended (its id is not reused).
void ForgetThread(vax::sim::Thread* thread);

// The calling thread's last error. Fail() sets it and returns FALSE, the
// shape of most failures.
void SetError(DWORD error);
inline BOOL Fail(DWORD error) {
  SetError(error);
  return FALSE;
}
// SetError(DosErrorFromStatus(status)), FALSE.
BOOL FailStatus(NTSTATUS status);

// ---------------------------------------------------------------------------
// User-mode handles

enum class ObjectKind { kFile, kEvent, kThread, kProcess };

// What a handle refers to. Objects are shared: a wait, an I/O request or a
// message in flight keeps its objects alive after the handle is closed.
struct Object {
  explicit Object(ObjectKind kind) : kind(kind) {}
  virtual ~Object() = default;
  // The dispatcher object WaitForSingleObject waits on, nullptr if none.
  virtual KEVENT* Waitable() = 0;
  // The handle was closed (the only one: there is no DuplicateHandle).
  virtual void HandleClosed() {}

  const ObjectKind kind;
};

struct EventObject : Object {
  EventObject() : Object(ObjectKind::kEvent) {}
  KEVENT* Waitable() override { return &event; }
  KEVENT event;
};

// A thread's or a simulated process's handle: signalled when it ends.
struct TaskObject : Object {
  explicit TaskObject(ObjectKind kind) : Object(kind) {}
  KEVENT* Waitable() override { return &ended; }
  KEVENT ended;  // notification event
  DWORD id = 0;
  DWORD exit_code = STILL_ACTIVE;  // user state of the thread's own end; read after `ended`
};

HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
template <typename T>
std::shared_ptr<T> LookupHandle(HANDLE handle, ObjectKind kind) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (object == nullptr || object->kind != kind)
    return nullptr;
  return std::static_pointer_cast<T>(object);
}
std::shared_ptr<Object> RemoveHandle(HANDLE handle);

// ---------------------------------------------------------------------------
// Facilities: boot and shutdown, in the order Boot() calls them, and what the
// end of an application thread asks of each.

void BootFiles();
void BootUser();
void BootBroadcasts();
void ShutdownBroadcasts();  // no more notices from the kernel

// The calling thread is ending: its windows are destroyed (with their
// messages), sends to it fail, and its I/O requests are cancelled.
void EndUserThread();
void CancelThreadRequests();

// Sends a device control to the file behind `handle` and waits for its end,
// on an overlapped handle too: the comm functions are synchronous. FALSE with
// the last error set when the handle is no file or the request fails.
BOOL SyncDeviceControl(HANDLE handle, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* returned);

}  // namespace vax::win32::internal
