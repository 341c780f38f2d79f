// QZ719PT's device-change notification, as an application uses it: turn it
// on with a callback, keep retrieving messages, and hear the number of every
// port whose name carries the prefix when it arrives (n) or is removed (-n).
// The ports come and go as the system announces them: its WM_DEVICECHANGE
// broadcast to every top-level window, the library's hidden one included.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "port_fixture.h"
#include "qz719pt.h"

// The library's entry point, called here where the loader would call it.
extern "C" BOOL WINAPI DLLMain(HINSTANCE, DWORD reason, LPVOID reserved);

namespace vax::test::portlib {
namespace {

const char kClassName[] = "QZ719PT_NotifyWnd";
const char kWindowName[] = "QZ719PT_NotifyWnd_0";

// What the callbacks saw, as "A7 A-7"; A and B tell two callbacks apart.
std::vector<std::string> calls;
DWORD callback_thread = 0;

void Record(const char* who, LONG number) {
  calls.push_back(who + std::to_string(number));
  callback_thread = GetCurrentThreadId();
}
void WINAPI RecordA(LONG number) {
  Record("A", number);
}
void WINAPI RecordB(LONG number) {
  Record("B", number);
}

std::string TakeCalls() {
  std::string seen;
  for (const std::string& call : calls)
    seen += (seen.empty() ? "" : " ") + call;
  calls.clear();
  return seen;
}

HWND NotifyWindow() {
  return FindWindowA(kClassName, kWindowName);
}

// Runs `body` as an application thread.
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

class Notify : public TestPortFixture {
 protected:
  Notify() {
    calls.clear();
    callback_thread = 0;
  }

  // The port arrives and is removed again; what the callbacks heard.
  std::string ArriveAndLeave(std::u16string_view port) {
    MakePort(port);
    Pump();
    RemovePort(port);
    Pump();
    return TakeCalls();
  }
};

TEST_F(Notify, BroadcastReachesTheCallbackInTheRegisteringThreadWhileItRetrievesMessages) {
  ASSERT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, RecordA));
  HWND window = NotifyWindow();
  ASSERT_NE(nullptr, window);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(window, nullptr));
  // The class is the executable's, not the library's.
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(GetModuleHandleA(nullptr)),
            GetClassLongPtrA(window, GCLP_HMODULE));

  MakePort(u"COM7");
  Sleep(50);  // waiting is not retrieving messages
  EXPECT_EQ("", TakeCalls());
  Pump();
  EXPECT_EQ("A7", TakeCalls());
  EXPECT_EQ(GetCurrentThreadId(), callback_thread);

  RemovePort(u"COM7");
  Pump();
  EXPECT_EQ("A-7", TakeCalls());
}

TEST_F(Notify, PortNumberIsTheDigitsAfterThePrefix) {
  struct Case {
    const char* prefix;  // as the application passes it
    std::u16string port;
    const char* calls;
  };
  const std::string longest_prefix(63, 'P');
  const std::u16string longest_port = std::u16string(63, u'P') + u"9";
  const Case cases[] = {
      {nullptr, u"COM7", "A7 A-7"},
      {nullptr, u"COM255", "A255 A-255"},
      {nullptr, u"COM0", ""},
      {nullptr, u"COM256", ""},
      {nullptr, u"COM1000", ""},
      {nullptr, u"XCOM12", "A12 A-12"},  // the prefix may stand anywhere
      {nullptr, u"COM3A", "A3 A-3"},     // digits end at the first non-digit
      {nullptr, u"COM", ""},
      {"", u"COM7", "A7 A-7"},     // empty: the default
      {"com", u"COM5", "A5 A-5"},  // the prefix is upper-cased...
      {"com", u"com5", ""},        // ...the port name is not
      {"Link", u"LINK4", "A4 A-4"},
      {"Link", u"COM4", ""},
      {longest_prefix.c_str(), longest_port, "A9 A-9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("prefix ") + (c.prefix != nullptr ? c.prefix : "(null)") + ", port " +
                 kernel::Narrow(c.port));
    ASSERT_EQ(TRUE, QZ719PtSetDevNotify(c.prefix, RecordA));
    EXPECT_EQ(c.calls, ArriveAndLeave(c.port));
  }
}

TEST_F(Notify, NewCallbackReplacesTheOldAndNullTurnsNotificationOff) {
  EXPECT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, nullptr));  // nothing to turn off
  EXPECT_EQ(nullptr, NotifyWindow());

  ASSERT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, RecordA));
  HWND first = NotifyWindow();
  ASSERT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, RecordB));
  EXPECT_FALSE(IsWindow(first));
  EXPECT_NE(nullptr, NotifyWindow());
  EXPECT_EQ("B6 B-6", ArriveAndLeave(u"COM6"));

  EXPECT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, nullptr));
  EXPECT_EQ(nullptr, NotifyWindow());
  EXPECT_FALSE(UnregisterClassA(kClassName, GetModuleHandleA(nullptr)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST), GetLastError());
  EXPECT_EQ("", ArriveAndLeave(u"COM6"));
}

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CREATE)
    return -1;
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(Notify, RefusedRequestLeavesNotificationOff) {
  // A prefix that does not fit: the earlier registration is gone as well.
  ASSERT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, RecordA));
  const std::string too_long(64, 'P');
  EXPECT_EQ(FALSE, QZ719PtSetDevNotify(too_long.c_str(), RecordA));
  EXPECT_EQ(nullptr, NotifyWindow());
  EXPECT_EQ("", ArriveAndLeave(u"COM3"));

  // The window cannot be made: a class of the same name, registered by the
  // application, refuses it. The library takes that class away with it.
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = RefuseCreation;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = kClassName;
  ASSERT_NE(0, RegisterClassA(&window_class));
  EXPECT_EQ(FALSE, QZ719PtSetDevNotify(nullptr, RecordA));
  EXPECT_EQ(nullptr, NotifyWindow());
  EXPECT_EQ("", ArriveAndLeave(u"COM4"));
  EXPECT_FALSE(UnregisterClassA(kClassName, GetModuleHandleA(nullptr)));

  // Nothing is left behind that stops the next request.
  ASSERT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, RecordA));
  EXPECT_EQ("A5 A-5", ArriveAndLeave(u"COM5"));
}

// The window belongs to the thread that turned notification on. When that
// thread ends, the system destroys the window; on Windows the loader calls the
// library's entry point with DLL_THREAD_DETACH first, and the library ends
// notification itself. Either way the old callback hears nothing more and
// another thread can start afresh, even beside a class left registered.
TEST_F(Notify, NotificationEndsWithTheThreadThatOwnsTheWindow) {
  struct Case {
    const char* what;
    bool loader_detaches;
  };
  const Case cases[] = {
      {"the thread ends", false},
      {"the loader detaches the ending thread", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL registered = FALSE;
    DWORD worker_id = 0;
    HANDLE worker = StartThread([&] {
      worker_id = GetCurrentThreadId();
      registered = QZ719PtSetDevNotify(nullptr, RecordB);
      SetEvent(ready);
      MSG message;
      do {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
          DispatchMessageA(&message);
      } while (WaitForSingleObject(stop, 1) == WAIT_TIMEOUT);
      if (c.loader_detaches)
        DLLMain(nullptr, DLL_THREAD_DETACH, nullptr);
      return 0u;
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 1000));
    ASSERT_EQ(TRUE, registered);
    MakePort(u"COM8");
    Pump();
    EXPECT_EQ("B8", TakeCalls());
    EXPECT_EQ(worker_id, callback_thread);

    SetEvent(stop);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 1000));
    EXPECT_EQ(nullptr, NotifyWindow());
    if (c.loader_detaches) {
      // The library took its class away too.
      EXPECT_FALSE(UnregisterClassA(kClassName, GetModuleHandleA(nullptr)));
    }
    RemovePort(u"COM8");
    Pump();
    EXPECT_EQ("", TakeCalls());

    ASSERT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, RecordA));
    EXPECT_EQ("A9 A-9", ArriveAndLeave(u"COM9"));
    EXPECT_EQ(TRUE, QZ719PtSetDevNotify(nullptr, nullptr));
    CloseHandle(worker);
    CloseHandle(stop);
    CloseHandle(ready);
  }
}

}  // namespace
}  // namespace vax::test::portlib
