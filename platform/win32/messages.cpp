// Per-thread message queues: posted messages wait in the receiving thread's
// queue until it retrieves them; a message sent to another thread's window
// waits until that thread retrieves messages (GetMessage, PeekMessage, or a
// send of its own), and the sender blocks for the reply meanwhile, answering
// what is sent to it, as Windows does so that two threads sending to each
// other do not deadlock.
#include <mutex>

#include "win32/user.h"

namespace vax::win32::internal {
namespace {

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

bool Matches(const MSG& message, HWND filter, UINT first, UINT last) {
  if (filter == kThreadMessagesOnly) {
    if (message.hwnd != nullptr)
      return false;
  } else if (filter != nullptr && message.hwnd != filter) {
    return false;
  }
  if (first == 0 && last == 0)
    return true;
  return message.message >= first && message.message <= last;
}

// A message for `filter` from the calling thread's queue: the first posted
// message that matches, else WM_QUIT once one was asked for. Removes it when
// `remove`.
bool TakePosted(ThreadInfo& self, HWND filter, UINT first, UINT last, bool remove, MSG* out) {
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  for (auto it = self.posted.begin(); it != self.posted.end(); ++it) {
    if (!Matches(*it, filter, first, last))
      continue;
    *out = *it;
    if (remove)
      self.posted.erase(it);
    return true;
  }
  if (self.quit) {
    *out = MSG{};
    out->message = WM_QUIT;
    out->wParam = static_cast<WPARAM>(self.quit_code);
    out->time = GetTickCount();
    if (remove)
      self.quit = false;
    return true;
  }
  return false;
}

// A window filter must name a window (or be NULL, or -1 for thread messages).
bool ValidFilter(HWND filter) {
  return filter == nullptr || filter == kThreadMessagesOnly || FindWindowRecord(filter) != nullptr;
}

bool Post(ThreadInfo& target, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  MSG posted{hwnd, message, wparam, lparam, GetTickCount(), {0, 0}};
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    if (target.ended)
      return false;
    target.posted.push_back(posted);
  }
  KeSetEvent(&target.wake, IO_NO_INCREMENT, FALSE);
  return true;
}

bool PostToWindow(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Window> window = FindWindowRecord(hwnd);
  return window != nullptr && Post(*window->owner, hwnd, message, wparam, lparam);
}

}  // namespace

void ReceiveSentMessages(ThreadInfo& self) {
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      if (self.incoming.empty())
        return;
      sent = self.incoming.front();
      self.incoming.pop_front();
    }
    LRESULT result = 0;
    std::shared_ptr<Window> window = FindWindowRecord(sent->hwnd);
    if (window != nullptr && window->owner.get() == &self) {
      WNDPROC proc;
      {
        std::lock_guard<vax::sim::Mutex> lock(User().mutex);
        proc = window->proc;
      }
      if (proc != nullptr)
        result = proc(sent->hwnd, sent->message, sent->wparam, sent->lparam);
    }
    {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      sent->result = result;
      sent->done = true;
    }
    KeSetEvent(&sent->sender->wake, IO_NO_INCREMENT, FALSE);
  }
}

bool SendToWindow(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                  std::shared_ptr<const void> data, vax::sim::Ticks deadline, LRESULT* result) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  std::shared_ptr<Window> window = FindWindowRecord(hwnd);
  if (window == nullptr) {
    self->last_error = ERROR_INVALID_WINDOW_HANDLE;
    return false;
  }
  if (window->owner == self) {
    WNDPROC proc;
    {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      proc = window->proc;
    }
    *result = proc != nullptr ? proc(hwnd, message, wparam, lparam) : 0;
    return true;
  }
  auto sent = std::make_shared<SentMessage>();
  sent->hwnd = hwnd;
  sent->message = message;
  sent->wparam = wparam;
  sent->lparam = lparam;
  sent->data = std::move(data);
  sent->sender = self;
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    if (window->owner->ended) {
      self->last_error = ERROR_INVALID_WINDOW_HANDLE;
      return false;
    }
    window->owner->incoming.push_back(sent);
  }
  KeSetEvent(&window->owner->wake, IO_NO_INCREMENT, FALSE);
  for (;;) {
    ReceiveSentMessages(*self);
    {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      if (sent->done) {
        *result = sent->result;
        return true;
      }
    }
    LARGE_INTEGER timeout;
    PLARGE_INTEGER wait = nullptr;
    if (deadline != vax::sim::kNoDeadline) {
      const vax::sim::Ticks left = deadline - vax::sim::Now();
      timeout.QuadPart = left > 0 ? -left : 0;
      wait = &timeout;
    }
    if (KeWaitForSingleObject(&self->wake, UserRequest, UserMode, FALSE, wait) == STATUS_TIMEOUT) {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      if (sent->done) {
        *result = sent->result;
        return true;
      }
      // The receiver still gets the message; its reply goes nowhere.
      self->last_error = ERROR_TIMEOUT;
      return false;
    }
  }
}

}  // namespace vax::win32::internal

using namespace vax::win32::internal;

extern "C" {

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (hWnd == HWND_BROADCAST) {
    for (HWND target : BroadcastTargets()) {
      SendToWindow(target, Msg, wParam, lParam, nullptr, vax::sim::kNoDeadline, &result);
    }
    return 0;
  }
  if (!SendToWindow(hWnd, Msg, wParam, lParam, nullptr, vax::sim::kNoDeadline, &result))
    return 0;
  return result;
}

LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult) {
  UNREFERENCED_PARAMETER(fuFlags);
  const vax::sim::Ticks deadline =
      vax::sim::Now() + static_cast<vax::sim::Ticks>(uTimeout) * vax::sim::kTicksPerMs;
  LRESULT result = 0;
  if (hWnd == HWND_BROADCAST) {
    for (HWND target : BroadcastTargets()) {
      SendToWindow(target, Msg, wParam, lParam, nullptr, deadline, &result);
    }
    return TRUE;
  }
  if (!SendToWindow(hWnd, Msg, wParam, lParam, nullptr, deadline, &result))
    return 0;
  if (lpdwResult != nullptr)
    *lpdwResult = static_cast<DWORD_PTR>(result);
  return TRUE;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  if (hWnd == nullptr)
    return PostThreadMessageA(self->id, Msg, wParam, lParam);
  if (hWnd == HWND_BROADCAST) {
    for (HWND target : BroadcastTargets())
      PostToWindow(target, Msg, wParam, lParam);
    return TRUE;
  }
  if (!PostToWindow(hWnd, Msg, wParam, lParam))
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  return TRUE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  CurrentUserThread();
  std::shared_ptr<ThreadInfo> target = FindThread(idThread);
  bool has_queue = false;
  if (target != nullptr) {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    has_queue = target->has_queue;
  }
  // A thread that never called into user32 has no queue to post to.
  if (!has_queue || !Post(*target, nullptr, Msg, wParam, lParam)) {
    return Fail(ERROR_INVALID_THREAD_ID);
  }
  return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    self->quit = true;
    self->quit_code = nExitCode;
  }
  KeSetEvent(&self->wake, IO_NO_INCREMENT, FALSE);
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  if (lpMsg == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  for (;;) {
    if (!ValidFilter(hWnd)) {
      SetError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    ReceiveSentMessages(*self);
    if (TakePosted(*self, hWnd, wMsgFilterMin, wMsgFilterMax, true, lpMsg)) {
      return lpMsg->message != WM_QUIT;
    }
    KeWaitForSingleObject(&self->wake, UserRequest, UserMode, FALSE, nullptr);
  }
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  if (lpMsg == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!ValidFilter(hWnd))
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  // Polling gives way: a loop of PeekMessage calls lets other threads run,
  // as a real processor would while this one spins.
  vax::sim::Yield("PeekMessage");
  ReceiveSentMessages(*self);
  return TakePosted(*self, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0,
                    lpMsg);
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
  UNREFERENCED_PARAMETER(lpMsg);
  return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  if (lpMsg == nullptr || lpMsg->hwnd == nullptr)
    return 0;
  std::shared_ptr<Window> window = FindWindowRecord(lpMsg->hwnd);
  if (window == nullptr) {
    self->last_error = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  if (window->owner != self) {
    self->last_error = ERROR_WINDOW_OF_OTHER_THREAD;
    return 0;
  }
  WNDPROC proc;
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    proc = window->proc;
  }
  return proc != nullptr ? proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

}  // extern "C"
