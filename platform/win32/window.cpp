// Window classes and windows: registration, creation with its messages,
// destruction by the owning thread, visibility, lookup, window and class
// data, the default window procedure, and the ANSI helpers user32 offers.
#include <algorithm>
#include <mutex>

#include "win32/user.h"

namespace vax::win32::internal {
namespace {

constexpr ULONG_PTR kFirstWindow = 0x20010;
constexpr ATOM kFirstAtom = 0xC000;

UserState*& StatePointer() {
  static UserState* state = nullptr;
  return state;
}

// Code page 1252, the ANSI code page of the systems QZ719PT runs on: ASCII
// letters, the accented Latin letters of 0xE0-0xFE but 0xF7 (the division
// sign), and the few letters Windows placed in 0x80-0x9F.
char UpperAnsi(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) {
    return static_cast<char>(byte - 0x20);
  }
  switch (byte) {
    case 0x9A:
      return static_cast<char>(0x8A);
    case 0x9C:
      return static_cast<char>(0x8C);
    case 0x9E:
      return static_cast<char>(0x8E);
    case 0xFF:
      return static_cast<char>(0x9F);
    default:
      return c;
  }
}

std::string Upper(const char* text) {
  std::string upper;
  for (; *text != '\0'; ++text)
    upper.push_back(UpperAnsi(*text));
  return upper;
}

bool SameName(const std::string& a, const char* b) {
  return Upper(a.c_str()) == Upper(b);
}

// A class name given as an atom (MAKEINTATOM) rather than a string.
bool IsAtom(LPCSTR name) {
  return reinterpret_cast<ULONG_PTR>(name) < 0x10000;
}

bool NameMatches(const WindowClass& window_class, LPCSTR name) {
  if (IsAtom(name))
    return window_class.atom == reinterpret_cast<ULONG_PTR>(name);
  return SameName(window_class.name, name);
}

// A local class of `instance` first, then a global class of that name.
// Called with the lock held.
std::shared_ptr<WindowClass> FindClassLocked(LPCSTR name, HINSTANCE instance) {
  for (const auto& window_class : User().classes) {
    if ((window_class->style & CS_GLOBALCLASS) == 0 && window_class->instance == instance &&
        NameMatches(*window_class, name)) {
      return window_class;
    }
  }
  for (const auto& window_class : User().classes) {
    if ((window_class->style & CS_GLOBALCLASS) != 0 && NameMatches(*window_class, name)) {
      return window_class;
    }
  }
  return nullptr;
}

LRESULT CallProc(WNDPROC proc, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return proc != nullptr ? proc(hwnd, message, wparam, lparam) : 0;
}

WNDPROC ProcOf(HWND hwnd) {
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  auto found = User().windows.find(reinterpret_cast<ULONG_PTR>(hwnd));
  return found == User().windows.end() ? nullptr : found->second->proc;
}

// Sends a creation or destruction message to the window's current procedure:
// these always come from the owning thread.
LRESULT Notify(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return CallProc(ProcOf(hwnd), hwnd, message, wparam, lparam);
}

void Forget(HWND hwnd) {
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  auto found = User().windows.find(reinterpret_cast<ULONG_PTR>(hwnd));
  if (found == User().windows.end())
    return;
  --found->second->window_class->windows;
  User().windows.erase(found);
}

}  // namespace

UserState& User() {
  return *StatePointer();
}

void BootUser() {
  delete StatePointer();
  StatePointer() = new UserState();
  StatePointer()->next_window = kFirstWindow;
  StatePointer()->next_atom = kFirstAtom;
}

std::shared_ptr<ThreadInfo> CurrentUserThread() {
  std::shared_ptr<ThreadInfo> self = CurrentThreadInfo();
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  self->has_queue = true;
  return self;
}

std::shared_ptr<Window> FindWindowRecord(HWND hwnd) {
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  auto found = User().windows.find(reinterpret_cast<ULONG_PTR>(hwnd));
  return found == User().windows.end() ? nullptr : found->second;
}

std::vector<HWND> BroadcastTargets() {
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  std::vector<HWND> targets;
  for (auto it = User().windows.rbegin(); it != User().windows.rend(); ++it) {
    const Window& window = *it->second;
    if ((window.style & WS_CHILD) == 0 && !window.message_only && !window.destroying) {
      targets.push_back(window.hwnd);
    }
  }
  return targets;
}

void EndUserThread() {
  std::shared_ptr<ThreadInfo> self = CurrentThreadInfo();
  // Windows go top-down: destroying a window takes its children with it.
  for (;;) {
    HWND next = nullptr;
    {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      for (const auto& [value, window] : User().windows) {
        if (window->owner != self || window->destroying)
          continue;
        auto parent = User().windows.find(reinterpret_cast<ULONG_PTR>(window->parent));
        if (parent == User().windows.end() || parent->second->owner != self) {
          next = window->hwnd;
          break;
        }
      }
    }
    if (next == nullptr)
      break;
    DestroyWindow(next);
  }
  std::deque<std::shared_ptr<SentMessage>> unanswered;
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    self->ended = true;
    self->posted.clear();
    unanswered.swap(self->incoming);
    for (const auto& sent : unanswered)
      sent->done = true;
  }
  for (const auto& sent : unanswered)
    KeSetEvent(&sent->sender->wake, IO_NO_INCREMENT, FALSE);
}

}  // namespace vax::win32::internal

using namespace vax::win32::internal;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr ||
      IsAtom(lpWndClass->lpszClassName)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  const bool global = (lpWndClass->style & CS_GLOBALCLASS) != 0;
  for (const auto& window_class : User().classes) {
    const bool same_scope = global ? (window_class->style & CS_GLOBALCLASS) != 0
                                   : window_class->instance == lpWndClass->hInstance &&
                                         (window_class->style & CS_GLOBALCLASS) == 0;
    if (same_scope && SameName(window_class->name, lpWndClass->lpszClassName)) {
      self->last_error = ERROR_CLASS_ALREADY_EXISTS;
      return 0;
    }
  }
  auto window_class = std::make_shared<WindowClass>();
  window_class->name = lpWndClass->lpszClassName;
  window_class->instance = lpWndClass->hInstance;
  window_class->style = lpWndClass->style;
  window_class->proc = lpWndClass->lpfnWndProc;
  window_class->atom = User().next_atom++;
  User().classes.push_back(window_class);
  return window_class->atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  if (lpClassName == nullptr)
    return Fail(ERROR_CLASS_DOES_NOT_EXIST);
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  std::shared_ptr<WindowClass> window_class = FindClassLocked(lpClassName, hInstance);
  if (window_class == nullptr) {
    self->last_error = ERROR_CLASS_DOES_NOT_EXIST;
    return FALSE;
  }
  if (window_class->windows != 0) {
    self->last_error = ERROR_CLASS_HAS_WINDOWS;
    return FALSE;
  }
  auto& classes = User().classes;
  classes.erase(std::remove(classes.begin(), classes.end(), window_class), classes.end());
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  const bool message_only = hWndParent == HWND_MESSAGE;
  if (hWndParent != nullptr && !message_only && FindWindowRecord(hWndParent) == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if ((dwStyle & WS_CHILD) != 0 && hWndParent == nullptr) {
    SetError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }
  auto window = std::make_shared<Window>();
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    std::shared_ptr<WindowClass> window_class =
        lpClassName != nullptr ? FindClassLocked(lpClassName, hInstance) : nullptr;
    if (window_class == nullptr) {
      self->last_error = ERROR_CANNOT_FIND_WND_CLASS;
      return nullptr;
    }
    window->hwnd = reinterpret_cast<HWND>(User().next_window);
    User().next_window += 2;
    window->window_class = window_class;
    window->owner = self;
    window->title = lpWindowName != nullptr ? lpWindowName : "";
    window->style = dwStyle;
    window->ex_style = dwExStyle;
    window->parent = message_only ? nullptr : hWndParent;
    window->message_only = message_only;
    window->menu = hMenu;
    window->instance = hInstance;
    window->proc = window_class->proc;
    ++window_class->windows;
    User().windows[reinterpret_cast<ULONG_PTR>(window->hwnd)] = window;
  }
  const HWND hwnd = window->hwnd;
  CREATESTRUCTA create{lpParam,
                       hInstance,
                       hMenu,
                       window->parent,
                       nHeight,
                       nWidth,
                       Y,
                       X,
                       static_cast<LONG>(dwStyle),
                       lpWindowName,
                       lpClassName,
                       dwExStyle};
  const LPARAM create_param = reinterpret_cast<LPARAM>(&create);
  if (!Notify(hwnd, WM_NCCREATE, 0, create_param)) {
    Notify(hwnd, WM_NCDESTROY, 0, 0);
    Forget(hwnd);
    return nullptr;
  }
  if (Notify(hwnd, WM_CREATE, 0, create_param) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  if ((dwStyle & WS_VISIBLE) != 0 && IsWindow(hwnd)) {
    {
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      window->visible = true;
    }
    Notify(hwnd, WM_SHOWWINDOW, TRUE, 0);
  }
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  std::vector<HWND> children;
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    auto found = User().windows.find(reinterpret_cast<ULONG_PTR>(hWnd));
    if (found == User().windows.end()) {
      self->last_error = ERROR_INVALID_WINDOW_HANDLE;
      return FALSE;
    }
    Window& window = *found->second;
    if (window.owner != self) {
      self->last_error = ERROR_ACCESS_DENIED;
      return FALSE;
    }
    // Destruction already under way (a WM_DESTROY handler calling again).
    if (window.destroying)
      return TRUE;
    window.destroying = true;
    window.visible = false;
    for (const auto& [value, other] : User().windows) {
      if (other->parent == hWnd)
        children.push_back(other->hwnd);
    }
  }
  Notify(hWnd, WM_DESTROY, 0, 0);
  // Children and owned windows go with their parent or owner.
  for (HWND child : children)
    DestroyWindow(child);
  Notify(hWnd, WM_NCDESTROY, 0, 0);
  Forget(hWnd);
  return TRUE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  std::shared_ptr<ThreadInfo> self = CurrentUserThread();
  bool was_visible;
  const bool visible = nCmdShow != SW_HIDE;
  {
    std::lock_guard<vax::sim::Mutex> lock(User().mutex);
    auto found = User().windows.find(reinterpret_cast<ULONG_PTR>(hWnd));
    if (found == User().windows.end()) {
      self->last_error = ERROR_INVALID_WINDOW_HANDLE;
      return FALSE;
    }
    was_visible = found->second->visible;
    found->second->visible = visible;
    if (visible) {
      found->second->style |= WS_VISIBLE;
    } else {
      found->second->style &= ~static_cast<DWORD>(WS_VISIBLE);
    }
  }
  if (visible != was_visible)
    SendMessageA(hWnd, WM_SHOWWINDOW, visible, 0);
  return was_visible;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  return FindWindowRecord(hWnd) != nullptr;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  for (int depth = 0; hWnd != nullptr && depth < 64; ++depth) {
    auto found = User().windows.find(reinterpret_cast<ULONG_PTR>(hWnd));
    if (found == User().windows.end() || !found->second->visible)
      return FALSE;
    if ((found->second->style & WS_CHILD) == 0)
      return TRUE;
    hWnd = found->second->parent;
  }
  return FALSE;
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
  CurrentUserThread();
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  // The most recent window first, as the top of the Z order comes first.
  for (auto it = User().windows.rbegin(); it != User().windows.rend(); ++it) {
    const Window& window = *it->second;
    if ((window.style & WS_CHILD) != 0 || window.message_only || window.destroying)
      continue;
    if (lpClassName != nullptr && !NameMatches(*window.window_class, lpClassName))
      continue;
    if (lpWindowName != nullptr && !SameName(window.title, lpWindowName))
      continue;
    return window.hwnd;
  }
  return nullptr;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  std::shared_ptr<Window> window = FindWindowRecord(hWnd);
  if (window == nullptr) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpdwProcessId != nullptr)
    *lpdwProcessId = GetCurrentProcessId();
  return window->owner->id;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  std::shared_ptr<ThreadInfo> self = CurrentThreadInfo();
  std::shared_ptr<Window> window = FindWindowRecord(hWnd);
  if (window == nullptr) {
    self->last_error = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  switch (nIndex) {
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(window->proc);
    case GWLP_USERDATA:
      return window->user_data;
    case GWL_STYLE:
      return static_cast<LONG_PTR>(static_cast<LONG>(window->style));
    case GWL_EXSTYLE:
      return static_cast<LONG_PTR>(static_cast<LONG>(window->ex_style));
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(window->instance);
    case GWLP_HWNDPARENT:
      return reinterpret_cast<LONG_PTR>(window->parent);
    case GWLP_ID:
      return reinterpret_cast<LONG_PTR>(window->menu);
    default:
      self->last_error = ERROR_INVALID_INDEX;
      return 0;
  }
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  std::shared_ptr<ThreadInfo> self = CurrentThreadInfo();
  std::shared_ptr<Window> window = FindWindowRecord(hWnd);
  if (window == nullptr) {
    self->last_error = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  LONG_PTR previous = 0;
  switch (nIndex) {
    case GWLP_WNDPROC:
      previous = reinterpret_cast<LONG_PTR>(window->proc);
      window->proc = reinterpret_cast<WNDPROC>(dwNewLong);
      return previous;
    case GWLP_USERDATA:
      previous = window->user_data;
      window->user_data = dwNewLong;
      return previous;
    case GWL_STYLE:
      previous = static_cast<LONG>(window->style);
      window->style = static_cast<DWORD>(dwNewLong);
      return previous;
    case GWL_EXSTYLE:
      previous = static_cast<LONG>(window->ex_style);
      window->ex_style = static_cast<DWORD>(dwNewLong);
      return previous;
    case GWLP_ID:
      previous = reinterpret_cast<LONG_PTR>(window->menu);
      window->menu = reinterpret_cast<HMENU>(dwNewLong);
      return previous;
    default:
      self->last_error = ERROR_INVALID_INDEX;
      return 0;
  }
}

ULONG_PTR WINAPI GetClassLongPtrA(HWND hWnd, int nIndex) {
  std::shared_ptr<ThreadInfo> self = CurrentThreadInfo();
  std::shared_ptr<Window> window = FindWindowRecord(hWnd);
  if (window == nullptr) {
    self->last_error = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  const WindowClass& window_class = *window->window_class;
  switch (nIndex) {
    case GCLP_WNDPROC:
      return reinterpret_cast<ULONG_PTR>(window_class.proc);
    case GCLP_HMODULE:
      return reinterpret_cast<ULONG_PTR>(window_class.instance);
    case GCL_STYLE:
      return window_class.style;
    default:
      self->last_error = ERROR_INVALID_INDEX;
      return 0;
  }
}

ULONG_PTR WINAPI SetClassLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  std::shared_ptr<ThreadInfo> self = CurrentThreadInfo();
  std::shared_ptr<Window> window = FindWindowRecord(hWnd);
  if (window == nullptr) {
    self->last_error = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  std::lock_guard<vax::sim::Mutex> lock(User().mutex);
  WindowClass& window_class = *window->window_class;
  ULONG_PTR previous = 0;
  switch (nIndex) {
    case GCLP_WNDPROC:
      // Windows made from the class from now on; existing ones keep theirs.
      previous = reinterpret_cast<ULONG_PTR>(window_class.proc);
      window_class.proc = reinterpret_cast<WNDPROC>(dwNewLong);
      return previous;
    case GCL_STYLE:
      previous = window_class.style;
      window_class.style = static_cast<UINT>(dwNewLong);
      return previous;
    default:
      self->last_error = ERROR_INVALID_INDEX;
      return 0;
  }
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  switch (Msg) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_SETTEXT: {
      std::shared_ptr<Window> window = FindWindowRecord(hWnd);
      if (window == nullptr)
        return FALSE;
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      window->title = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
      return TRUE;
    }
    case WM_GETTEXT: {
      std::shared_ptr<Window> window = FindWindowRecord(hWnd);
      if (window == nullptr || wParam == 0 || lParam == 0)
        return 0;
      std::lock_guard<vax::sim::Mutex> lock(User().mutex);
      const std::size_t count = std::min<std::size_t>(window->title.size(), wParam - 1);
      auto* buffer = reinterpret_cast<LPSTR>(lParam);
      window->title.copy(buffer, count);
      buffer[count] = '\0';
      return static_cast<LRESULT>(count);
    }
    default:
      return 0;
  }
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                               LPARAM lParam) {
  return CallProc(lpPrevWndFunc, hWnd, Msg, wParam, lParam);
}

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
  if (lpsz == nullptr)
    return 0;
  for (DWORD i = 0; i < cchLength; ++i)
    lpsz[i] = UpperAnsi(lpsz[i]);
  return cchLength;
}

}  // extern "C"
