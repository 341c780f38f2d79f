// Window classes, windows, message queues and the system's port broadcasts of
// the Win32 subset, as applications and QZ719PT use them: windows are made and
// destroyed by their own thread, messages sent from another thread arrive only
// while the owner retrieves messages, and enabling or disabling a COM port
// interface reaches every top-level window as WM_DEVICECHANGE.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <dbt.h>
#include <windows.h>

#include "kernel/io.h"
#include "kernel/rootbus.h"
#include "nt/serial.h"
#include "world/world.h"

namespace {

using vax::sim::kTicksPerMs;
using Log = std::vector<std::string>;

vax::WorldOptions QuietWorld() {
  vax::WorldOptions options;
  options.announce = false;
  return options;
}

std::string MessageName(UINT message) {
  switch (message) {
    case WM_NCCREATE:
      return "WM_NCCREATE";
    case WM_CREATE:
      return "WM_CREATE";
    case WM_SHOWWINDOW:
      return "WM_SHOWWINDOW";
    case WM_DESTROY:
      return "WM_DESTROY";
    case WM_NCDESTROY:
      return "WM_NCDESTROY";
    case WM_DEVICECHANGE:
      return "WM_DEVICECHANGE";
    default:
      return "WM_USER+" + std::to_string(message - WM_USER);
  }
}

// What the test windows saw, as "<window name> <message> [details]", and the
// thread each message ran in. One recorder per test.
struct Recorder {
  Log log;
  std::map<HWND, std::string> names;
  std::map<HWND, DWORD> threads;  // thread of the last message each window got
  LRESULT create_result = 0;      // what WM_CREATE returns
};
Recorder* recorder = nullptr;

std::string Details(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SHOWWINDOW:
      return wparam ? " shown" : " hidden";
    case WM_DEVICECHANGE: {
      std::string text = wparam == DBT_DEVICEARRIVAL          ? " arrival"
                         : wparam == DBT_DEVICEREMOVECOMPLETE ? " removal"
                                                              : " event " + std::to_string(wparam);
      const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
      if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_PORT) {
        const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(header);
        text += " " + std::string(port->dbcp_name) + " size=" + std::to_string(header->dbch_size);
      }
      return text;
    }
    default:
      return message >= WM_USER ? " " + std::to_string(wparam) : "";
  }
}

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    recorder->names[window] = reinterpret_cast<const CREATESTRUCTA*>(lparam)->lpszName;
  }
  recorder->threads[window] = GetCurrentThreadId();
  recorder->log.push_back(recorder->names[window] + " " + MessageName(message) +
                          Details(message, wparam, lparam));
  if (message == WM_CREATE)
    return recorder->create_result;
  // WM_USER + n answers n * 10 (and a doubling of wparam), so a reply shows
  // which window made it.
  if (message >= WM_USER)
    return static_cast<LRESULT>((message - WM_USER) * 10 + wparam * 2);
  return DefWindowProcA(window, message, wparam, lparam);
}

class Win32User : public ::testing::Test {
 protected:
  Win32User() : world_(QuietWorld()) { recorder = &recorder_; }
  ~Win32User() override { recorder = nullptr; }

  HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

  // The recording class, registered once per test by whoever asks first.
  void RegisterRecordingClass() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = RecordingProc;
    window_class.hInstance = Instance();
    window_class.lpszClassName = "Recording";
    RegisterClassA(&window_class);
  }

  HWND Make(const char* name, DWORD style = WS_POPUP, HWND parent = nullptr) {
    RegisterRecordingClass();
    HWND window = CreateWindowExA(0, "Recording", name, style, 0, 0, 10, 10, parent, nullptr,
                                  Instance(), nullptr);
    EXPECT_NE(nullptr, window) << name;
    return window;
  }

  Log TakeLog() {
    Log log;
    log.swap(recorder_.log);
    return log;
  }

  // Retrieves and dispatches messages for `milliseconds` of virtual time, as
  // an idle application's loop would.
  void Pump(DWORD milliseconds) {
    const DWORD end = GetTickCount() + milliseconds;
    MSG message;
    do {
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
      Sleep(1);
    } while (GetTickCount() < end);
  }

  vax::World world_;
  Recorder recorder_;
};

// One turn of an application's loop: dispatch what is queued, then wait a
// little for `stop`. False once it is set.
bool MsgWait(HANDLE stop) {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
    DispatchMessageA(&message);
  return WaitForSingleObject(stop, 1) == WAIT_TIMEOUT;
}

HANDLE StartThread(std::function<DWORD()> body) {
  auto* owned = new std::function<DWORD()>(std::move(body));
  return CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        std::unique_ptr<std::function<DWORD()>> run(
            static_cast<std::function<DWORD()>*>(parameter));
        return (*run)();
      },
      owned, 0, nullptr);
}

// ---------------------------------------------------------------------------
// Classes and windows

TEST_F(Win32User, ClassesAreUniquePerModuleAndOutliveNoWindow) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = RecordingProc;
  window_class.hInstance = Instance();
  window_class.lpszClassName = "Notify";
  EXPECT_NE(0, RegisterClassA(&window_class));
  window_class.lpszClassName = "NOTIFY";  // names ignore case
  EXPECT_EQ(0, RegisterClassA(&window_class));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), GetLastError());

  // Another module may have a class of the same name; windows find the class
  // of the module they name.
  HINSTANCE other = reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(0x10000000));
  window_class.hInstance = other;
  EXPECT_NE(0, RegisterClassA(&window_class));
  EXPECT_EQ(nullptr, CreateWindowExA(0, "Missing", "x", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                     Instance(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS), GetLastError());
  EXPECT_EQ(nullptr, CreateWindowExA(
                         0, "Notify", "x", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                         reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(0x20000000)), nullptr));

  HWND window = CreateWindowExA(0, "notify", "w", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                Instance(), nullptr);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(Instance()), GetClassLongPtrA(window, GCLP_HMODULE));
  EXPECT_FALSE(UnregisterClassA("Notify", Instance()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS), GetLastError());
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_TRUE(UnregisterClassA("Notify", Instance()));
  EXPECT_FALSE(UnregisterClassA("Notify", Instance()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST), GetLastError());
  EXPECT_TRUE(UnregisterClassA("Notify", other));
}

TEST_F(Win32User, WindowLifeSendsItsMessagesInOrder) {
  HWND parent = Make("parent", WS_OVERLAPPEDWINDOW);
  HWND child = Make("child", WS_CHILD | WS_VISIBLE, parent);
  EXPECT_EQ((Log{"parent WM_NCCREATE", "parent WM_CREATE", "child WM_NCCREATE", "child WM_CREATE",
                 "child WM_SHOWWINDOW shown"}),
            TakeLog());

  EXPECT_FALSE(ShowWindow(parent, SW_SHOW));  // was hidden
  EXPECT_TRUE(ShowWindow(parent, SW_SHOWNORMAL));
  EXPECT_TRUE(IsWindowVisible(child));
  EXPECT_TRUE(ShowWindow(parent, SW_HIDE));
  EXPECT_FALSE(IsWindowVisible(child));  // a child shows only with its parent
  EXPECT_EQ((Log{"parent WM_SHOWWINDOW shown", "parent WM_SHOWWINDOW hidden"}), TakeLog());

  EXPECT_TRUE(DestroyWindow(parent));
  EXPECT_EQ(
      (Log{"parent WM_DESTROY", "child WM_DESTROY", "child WM_NCDESTROY", "parent WM_NCDESTROY"}),
      TakeLog());
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(DestroyWindow(parent));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());

  // A window whose WM_CREATE fails is destroyed before CreateWindowEx returns.
  recorder_.create_result = -1;
  EXPECT_EQ(nullptr, CreateWindowExA(0, "Recording", "failing", WS_POPUP, 0, 0, 0, 0, nullptr,
                                     nullptr, Instance(), nullptr));
  EXPECT_EQ((Log{"failing WM_NCCREATE", "failing WM_CREATE", "failing WM_DESTROY",
                 "failing WM_NCDESTROY"}),
            TakeLog());
}

TEST_F(Win32User, FindWindowSeesTopLevelWindowsOnly) {
  HWND first = Make("Twin");
  HWND second = Make("twin");
  HWND child = Make("Child", WS_CHILD, first);
  HWND hidden_mailbox = Make("Mailbox", WS_POPUP, HWND_MESSAGE);
  ASSERT_NE(nullptr, child);
  ASSERT_NE(nullptr, hidden_mailbox);
  EXPECT_EQ(second, FindWindowA("Recording", "TWIN"));  // the newest first
  EXPECT_EQ(second, FindWindowA(nullptr, "twin"));
  EXPECT_EQ(second, FindWindowA("recording", nullptr));
  EXPECT_EQ(nullptr, FindWindowA(nullptr, "Child"));
  EXPECT_EQ(nullptr, FindWindowA(nullptr, "Mailbox"));
  EXPECT_EQ(nullptr, FindWindowA("Other", "Twin"));
  DestroyWindow(second);
  EXPECT_EQ(first, FindWindowA("Recording", "Twin"));
}

TEST_F(Win32User, WindowAndClassProceduresCanBeReplaced) {
  HWND window = Make("subclassed");
  const auto replacement = [](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    return message == WM_USER ? 77 : 0;
  };
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(&RecordingProc),
            SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+replacement)));
  EXPECT_EQ(77, SendMessageA(window, WM_USER, 0, 0));

  // The class's procedure serves windows made after the change only.
  SetClassLongPtrA(window, GCLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
  HWND later = CreateWindowExA(0, "Recording", "later", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               Instance(), nullptr);
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(&DefWindowProcA), GetWindowLongPtrA(later, GWLP_WNDPROC));
  EXPECT_EQ(0, SendMessageA(later, WM_USER + 3, 0, 0));
  EXPECT_EQ(77, SendMessageA(window, WM_USER, 0, 0));
  EXPECT_EQ(0, GetWindowLongPtrA(window, 12345));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_INDEX), GetLastError());
}

TEST_F(Win32User, WindowsBelongToTheThreadThatMadeThem) {
  HWND mine = Make("mine");
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HWND theirs = nullptr;
  DWORD their_thread = 0;
  HANDLE thread = StartThread([&] {
    their_thread = GetCurrentThreadId();
    theirs = Make("theirs");
    EXPECT_FALSE(DestroyWindow(mine));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    WaitForSingleObject(done, INFINITE);
    return 0u;
  });
  Sleep(1);
  ASSERT_NE(nullptr, theirs);
  EXPECT_FALSE(DestroyWindow(theirs));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(their_thread, GetWindowThreadProcessId(theirs, nullptr));
  TakeLog();

  // A thread that ends takes its windows with it, in its own thread.
  SetEvent(done);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_FALSE(IsWindow(theirs));
  EXPECT_EQ((Log{"theirs WM_DESTROY", "theirs WM_NCDESTROY"}), TakeLog());
  EXPECT_EQ(their_thread, recorder_.threads[theirs]);
  EXPECT_TRUE(IsWindow(mine));
  CloseHandle(thread);
  CloseHandle(done);
}

// ---------------------------------------------------------------------------
// Sent and posted messages

TEST_F(Win32User, MessageSentFromAnotherThreadWaitsForTheOwnerToRetrieveMessages) {
  HWND window = Make("main");
  TakeLog();
  const vax::sim::Ticks start = vax::sim::Now();
  LRESULT reply = -1;
  vax::sim::Ticks replied = 0;
  HANDLE sender = StartThread([&] {
    reply = SendMessageA(window, WM_USER + 1, 5, 0);
    replied = vax::sim::Now();
    return 0u;
  });
  Sleep(50);  // waiting is not retrieving: nothing arrives
  EXPECT_EQ(Log{}, TakeLog());
  EXPECT_EQ(0, replied);

  MSG message;
  EXPECT_FALSE(
      PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));  // a sent message is no posted one
  EXPECT_EQ((Log{"main WM_USER+1 5"}), TakeLog());
  EXPECT_EQ(GetCurrentThreadId(), recorder_.threads[window]);
  WaitForSingleObject(sender, INFINITE);
  EXPECT_EQ(20, reply);
  EXPECT_EQ(50 * kTicksPerMs, replied - start);
  CloseHandle(sender);
}

TEST_F(Win32User, PostedMessagesArriveInOrderAndQuitEndsTheLoop) {
  HWND window = Make("main");
  HWND other = Make("other");
  TakeLog();
  EXPECT_TRUE(PostMessageA(window, WM_USER + 1, 1, 0));
  EXPECT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 2, 0));
  EXPECT_TRUE(PostMessageA(other, WM_USER + 3, 3, 0));
  EXPECT_TRUE(PostMessageA(window, WM_USER + 4, 4, 0));
  PostQuitMessage(9);

  // A filter for one window leaves the rest queued, in order.
  MSG message;
  ASSERT_TRUE(GetMessageA(&message, other, 0, 0));
  EXPECT_EQ(static_cast<UINT>(WM_USER + 3), message.message);
  ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_USER + 2, WM_USER + 4, PM_NOREMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_USER + 2), message.message);

  std::vector<std::string> seen;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    seen.push_back(MessageName(message.message) + (message.hwnd == nullptr ? " thread" : ""));
    DispatchMessageA(&message);
  }
  EXPECT_EQ(0, got);
  EXPECT_EQ(static_cast<UINT>(WM_QUIT), message.message);
  EXPECT_EQ(9u, message.wParam);
  EXPECT_EQ((Log{"WM_USER+1", "WM_USER+2 thread", "WM_USER+4"}), seen);
  EXPECT_EQ((Log{"main WM_USER+1 1", "main WM_USER+4 4"}), TakeLog());

  EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x1234)), WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_EQ(-1,
            GetMessageA(&message, reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x1234)), 0, 0));
}

TEST_F(Win32User, ThreadMessagesNeedAThreadThatHasAQueue) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  UINT received = 0;
  HANDLE thread = StartThread([&] {
    id = GetCurrentThreadId();
    WaitForSingleObject(go, INFINITE);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    WaitForSingleObject(go, INFINITE);
    if (GetMessageA(&message, nullptr, 0, 0))
      received = message.message;
    return 0u;
  });
  Sleep(1);
  EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_THREAD_ID), GetLastError());
  SetEvent(go);
  Sleep(1);
  EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 7, 0, 0));
  WaitForSingleObject(thread, INFINITE);
  EXPECT_EQ(static_cast<UINT>(WM_USER + 7), received);
  EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));  // the thread is gone
  CloseHandle(thread);
  CloseHandle(go);
}

// Two threads that send to each other's windows at once: each answers the
// other's message while it waits for its own reply.
TEST_F(Win32User, SendersAnswerWhatIsSentToThemWhileTheyWait) {
  HWND mine = Make("mine");
  HWND theirs = nullptr;
  LRESULT their_reply = -1;
  HANDLE thread = StartThread([&] {
    theirs = Make("theirs");
    Sleep(5);
    their_reply = SendMessageA(mine, WM_USER + 2, 1, 0);
    return 0u;
  });
  Sleep(1);
  ASSERT_NE(nullptr, theirs);
  EXPECT_EQ(10 + 6, SendMessageA(theirs, WM_USER + 1, 3, 0));
  WaitForSingleObject(thread, INFINITE);
  EXPECT_EQ(20 + 2, their_reply);
  CloseHandle(thread);
}

TEST_F(Win32User, SendMessageTimeoutGivesUpOnAThreadThatRetrievesNothing) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HWND busy = nullptr;
  HANDLE thread = StartThread([&] {
    busy = Make("busy");
    WaitForSingleObject(go, INFINITE);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);
    return 0u;
  });
  Sleep(1);
  TakeLog();
  const vax::sim::Ticks start = vax::sim::Now();
  DWORD_PTR result = 123;
  EXPECT_EQ(0, SendMessageTimeoutA(busy, WM_USER + 1, 0, 0, SMTO_NORMAL, 200, &result));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
  EXPECT_EQ(200 * kTicksPerMs, vax::sim::Now() - start);
  EXPECT_EQ(123u, result);
  // The message was not taken back: the thread still gets it, late.
  SetEvent(go);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_EQ((Log{"busy WM_USER+1 0", "busy WM_DESTROY", "busy WM_NCDESTROY"}), TakeLog());
  CloseHandle(thread);
  CloseHandle(go);
}

// ---------------------------------------------------------------------------
// Port broadcasts

// {4D36E978-E325-11CE-BFC1-08002BE10318}, an interface class that is not
// the COM port's.
DEFINE_GUID(kOtherInterface, 0x4D36E978, 0xE325, 0x11CE, 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03,
            0x18);

// A port's device as its driver makes it known: a PDO of the root bus with a
// PortName, whose interface the test enables and disables as the driver's
// start and removal would.
class PortDevice {
 public:
  explicit PortDevice(const char16_t* port_name,
                      const GUID& interface_class = GUID_DEVINTERFACE_COMPORT) {
    device_ = vax::kernel::CreateRootDevice(u"ROOT\\WIN32USER");
    if (port_name != nullptr) {
      namespace registry = vax::kernel::registry;
      registry::SetString(registry::DeviceParametersPath(device_->pdo), u"PortName", port_name);
    }
    EXPECT_EQ(STATUS_SUCCESS,
              IoRegisterDeviceInterface(device_->pdo, &interface_class, nullptr, &link_));
  }
  ~PortDevice() { RtlFreeUnicodeString(&link_); }

  PDEVICE_OBJECT pdo() const { return device_->pdo; }
  void Enable(bool on) { EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link_, on)); }

 private:
  vax::kernel::RootDevice* device_;
  UNICODE_STRING link_{};
};

TEST_F(Win32User, PortInterfaceChangesReachEveryTopLevelWindow) {
  HWND popup = Make("popup");  // hidden, as QZ719PT's window is
  Make("child", WS_CHILD, popup);
  Make("mailbox", WS_POPUP, HWND_MESSAGE);
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE other = StartThread([&] {
    Make("other thread");
    // An application's loop: messages until told to stop.
    while (MsgWait(stop)) {
    }
    return 0u;
  });
  Sleep(1);
  TakeLog();

  PortDevice port(u"COM7");
  port.Enable(true);
  Sleep(20);  // the other thread takes its broadcast; this one retrieves nothing yet
  EXPECT_EQ((Log{"other thread WM_DEVICECHANGE arrival COM7 size=17"}), TakeLog());
  Pump(1);
  EXPECT_EQ((Log{"popup WM_DEVICECHANGE arrival COM7 size=17"}), TakeLog());

  port.Enable(false);
  Pump(20);
  Log log = TakeLog();
  std::sort(log.begin(), log.end());
  EXPECT_EQ((Log{"other thread WM_DEVICECHANGE removal COM7 size=17",
                 "popup WM_DEVICECHANGE removal COM7 size=17"}),
            log);

  // Interfaces of other classes, and ports without a name, are no port news.
  PortDevice disk(u"COM8", kOtherInterface);
  disk.Enable(true);
  PortDevice nameless(nullptr);
  nameless.Enable(true);
  Pump(20);
  EXPECT_EQ(Log{}, TakeLog());

  SetEvent(stop);
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
  CloseHandle(stop);
}

// Without a PortName the broadcast names the port as SERIALCOMM does for a
// device of its stack.
TEST_F(Win32User, PortNameFallsBackToTheSerialCommMap) {
  Make("popup");
  TakeLog();
  PortDevice port(nullptr);
  PDRIVER_OBJECT driver = vax::kernel::CreateDriverObject(u"Win32Fdo");
  vax::kernel::UnicodeString name(u"\\Device\\Serial4");
  PDEVICE_OBJECT fdo = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver, 0, name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &fdo));
  fdo->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  ASSERT_NE(nullptr, IoAttachDeviceToDeviceStack(fdo, port.pdo()));
  vax::kernel::registry::SetString(
      std::u16string(vax::kernel::registry::kDeviceMap) + u"\\SERIALCOMM", u"\\Device\\Serial4",
      u"COM14");
  port.Enable(true);
  Pump(5);
  EXPECT_EQ((Log{"popup WM_DEVICECHANGE arrival COM14 size=18"}), TakeLog());
  port.Enable(false);
  Pump(5);
  EXPECT_EQ((Log{"popup WM_DEVICECHANGE removal COM14 size=18"}), TakeLog());
  IoDetachDevice(port.pdo());
  IoDeleteDevice(fdo);
}

// ---------------------------------------------------------------------------
// ANSI helpers

TEST_F(Win32User, CharUpperBuffAConvertsTheGivenLengthInTheAnsiCodePage) {
  char text[] = "com5\xe9\xff\xf7x";
  EXPECT_EQ(3u, CharUpperBuffA(text, 3));
  EXPECT_EQ(std::string("COM5\xe9\xff\xf7x"), text);
  EXPECT_EQ(8u, CharUpperBuffA(text, 8));
  // é becomes É, ÿ becomes Ÿ (0x9F); the division sign has no case.
  EXPECT_EQ(std::string("COM5\xc9\x9f\xf7X"), text);
}

}  // namespace
