// QZ719PT.dll as an application meets it: loaded by path, its four names
// looked up, and its notification window driven with the broadcasts the
// system sends, under a Windows API that is not ours.
//
//   qz719pt_test.exe <path of QZ719PT.dll> identify|notify|lifetime
//
// Prints one line per failed check and exits 1 if any failed.
#include <windows.h>
#include <dbt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qz719pt.h"

namespace {

int failures = 0;

// Each side is evaluated once: several checks wrap calls with effects.
void CheckEqual(long long expected, long long actual, const char* what, int line) {
  if (expected != actual) {
    ++failures;
    std::printf("FAILED line %d: %s: expected %lld, got %lld\n", line, what, expected, actual);
  }
}

#define CHECK_EQ(expected, actual) \
  CheckEqual(static_cast<long long>(expected), static_cast<long long>(actual), #actual, __LINE__)
#define CHECK(condition) CHECK_EQ(true, static_cast<bool>(condition))

const char kClassName[] = "QZ719PT_NotifyWnd";
const char kWindowName[] = "QZ719PT_NotifyWnd_0";

struct Library {
  HMODULE module = nullptr;
  LONG(WINAPI* GetVersion)() = nullptr;
  BOOL(WINAPI* HandleIsQZ719)(HANDLE) = nullptr;
  BOOL(WINAPI* NameIsQZ719)(LPCSTR) = nullptr;
  BOOL(WINAPI* SetDevNotify)(LPCSTR, QZ719PT_NOTIFY_ROUTINE) = nullptr;
};

const char* dll_path = nullptr;

template <typename Function>
void Find(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*function == nullptr) {
    ++failures;
    std::printf("FAILED: QZ719PT.dll does not export %s\n", name);
  }
}

bool Load(Library* library) {
  library->module = LoadLibraryA(dll_path);
  if (library->module == nullptr) {
    std::printf("FAILED: cannot load %s (error %lu)\n", dll_path, GetLastError());
    ++failures;
    return false;
  }
  Find(library->module, "QZ719PtGetVersion", &library->GetVersion);
  Find(library->module, "QZ719PtHandleIsQZ719", &library->HandleIsQZ719);
  Find(library->module, "QZ719PtNameIsQZ719", &library->NameIsQZ719);
  Find(library->module, "QZ719PtSetDevNotify", &library->SetDevNotify);
  return library->GetVersion && library->HandleIsQZ719 && library->NameIsQZ719 &&
         library->SetDevNotify;
}

// What the callbacks saw, in order; 'A' and 'B' tell two callbacks apart.
std::vector<std::string> calls;

void WINAPI RecordA(LONG number) {
  calls.push_back("A" + std::to_string(number));
}
void WINAPI RecordB(LONG number) {
  calls.push_back("B" + std::to_string(number));
}

std::string TakeCalls() {
  std::string seen;
  for (const std::string& call : calls) {
    seen += (seen.empty() ? "" : " ") + call;
  }
  calls.clear();
  return seen;
}

#define CHECK_CALLS(expected, context)                                                      \
  do {                                                                                      \
    const std::string seen = TakeCalls();                                                   \
    if (seen != (expected)) {                                                               \
      ++failures;                                                                           \
      std::printf("FAILED line %d: %s: expected calls [%s], got [%s]\n", __LINE__, context, \
                  expected, seen.c_str());                                                  \
    }                                                                                       \
  } while (0)

// The notification window of this thread, if it has one. Another thread's
// window may carry the same class and name.
HWND OwnNotifyWindow() {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, kClassName, kWindowName)) != nullptr) {
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
      return window;
    }
  }
  return nullptr;
}

bool ClassRegistered() {
  WNDCLASSA window_class;
  return GetClassInfoA(GetModuleHandleA(nullptr), kClassName, &window_class) != FALSE;
}

// Sends a port broadcast as the system does: a DEV_BROADCAST_PORT_A whose
// dbcp_size covers the name and its terminator, unless declared_size says
// otherwise.
LRESULT SendBroadcast(HWND window, WPARAM event, DWORD device_type, const std::string& name,
                      DWORD declared_size = 0) {
  const DWORD name_offset = FIELD_OFFSET(DEV_BROADCAST_PORT_A, dbcp_name);
  std::vector<DWORD> storage((name_offset + name.size() + 1 + 3) / 4 + 1, 0);
  auto* port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(storage.data());
  port->dbcp_size = declared_size != 0 ? declared_size : name_offset + name.size() + 1;
  port->dbcp_devicetype = device_type;
  std::memcpy(port->dbcp_name, name.c_str(), name.size() + 1);
  return SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(port));
}

// --- identify ---------------------------------------------------------------

void TestIdentify(const Library& qz) {
  CHECK_EQ(16, qz.GetVersion());

  // No handle is no port, and the system is not even asked: the thread's last
  // error stays as it was.
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    SetLastError(12345);
    CHECK_EQ(FALSE, qz.HandleIsQZ719(handle));
    CHECK_EQ(12345, GetLastError());
  }
  SetLastError(12345);
  CHECK_EQ(FALSE, qz.NameIsQZ719(nullptr));
  CHECK_EQ(12345, GetLastError());

  // A file opens fine but has no communications properties.
  char file_name[MAX_PATH];
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "qzp", 0, file_name);
  HANDLE file = CreateFileA(file_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  CHECK(file != INVALID_HANDLE_VALUE);
  CHECK_EQ(FALSE, qz.HandleIsQZ719(file));
  CloseHandle(file);
  CHECK_EQ(FALSE, qz.NameIsQZ719(file_name));
  DeleteFileA(file_name);

  // A standard serial port (the harness makes COM9): its properties come back,
  // without an identification word.
  HANDLE port = CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  CHECK(port != INVALID_HANDLE_VALUE);
  COMMPROP properties = {};
  properties.wPacketLength = sizeof(properties);
  CHECK(GetCommProperties(port, &properties));
  CHECK_EQ(0, properties.dwProvSpec2);
  CHECK_EQ(FALSE, qz.HandleIsQZ719(port));
  CloseHandle(port);
  CHECK_EQ(FALSE, qz.NameIsQZ719("COM9"));
  CHECK_EQ(FALSE, qz.NameIsQZ719("\\\\.\\COM9"));

  // Names that cannot be opened, and a device that is no serial port.
  CHECK_EQ(FALSE, qz.NameIsQZ719("COM200"));
  CHECK_EQ(FALSE, qz.NameIsQZ719("\\\\.\\COM200"));
  CHECK_EQ(FALSE, qz.NameIsQZ719(""));
  CHECK_EQ(FALSE, qz.NameIsQZ719("NUL"));
}

// --- notify -----------------------------------------------------------------

struct BroadcastCase {
  WPARAM event;
  DWORD device_type;
  std::string name;
  const char* expected_calls;
  DWORD declared_size;
};

void TestBroadcasts(const Library& qz) {
  // With nothing registered, turning notification off is harmless.
  CHECK_EQ(TRUE, qz.SetDevNotify(nullptr, nullptr));
  CHECK(OwnNotifyWindow() == nullptr);

  CHECK_EQ(TRUE, qz.SetDevNotify(nullptr, RecordA));
  HWND window = OwnNotifyWindow();
  CHECK(window != nullptr);
  if (window == nullptr) {
    return;
  }
  CHECK(!IsWindowVisible(window));
  CHECK(GetParent(window) == nullptr);
  // The class belongs to the executable, not to the library.
  CHECK(ClassRegistered());
  CHECK(reinterpret_cast<HMODULE>(GetClassLongPtrA(window, GCLP_HMODULE)) ==
        GetModuleHandleA(nullptr));

  const DWORD name_offset = FIELD_OFFSET(DEV_BROADCAST_PORT_A, dbcp_name);
  const BroadcastCase cases[] = {
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM7", "A7", 0},
      {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, "COM7", "A-7", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM1", "A1", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM255", "A255", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM0", "", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM256", "", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM1000", "", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM", "", 0},
      // 4294967303 wraps round to 7 in 32 bits: still no port.
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM4294967303", "", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM3A", "A3", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "XCOM12", "A12", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "com5", "", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM9" + std::string(200, 'x'), "A9", 0},
      {DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_PORT, "COM7", "", 0},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, "COM7", "", 0},
      // The name must end within the size the sender declares.
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM7", "", name_offset + 4},
      {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM7", "", 4},
  };
  for (const BroadcastCase& c : cases) {
    const std::string context = "broadcast 0x" + std::to_string(c.event) + " type " +
                                std::to_string(c.device_type) + " \"" + c.name.substr(0, 16) + "\"";
    CHECK_EQ(0, SendBroadcast(window, c.event, c.device_type, c.name, c.declared_size));
    CHECK_CALLS(c.expected_calls, context.c_str());
  }
  // Device-change messages without a broadcast.
  CHECK_EQ(0, SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
  CHECK_EQ(0, SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
  CHECK_CALLS("", "broadcasts without data");

  // Other messages get the system's default handling.
  char text[64] = "";
  CHECK_EQ(std::strlen(kWindowName),
           SendMessageA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text)));
  CHECK_EQ(0, std::strcmp(kWindowName, text));
}

void TestPrefixes(const Library& qz) {
  struct PrefixCase {
    const char* prefix;
    const char* name;
    const char* expected_calls;
  };
  const std::string longest(63, 'P');
  const std::string longest_port = longest + "9";
  const PrefixCase cases[] = {
      {"com", "COM5", "A5"},  // stored upper-cased
      {"com", "com5", ""},    // the name is not
      {"", "COM7", "A7"},     // empty: the default
      {"UsbSer", "USBSER4", "A4"},
      {"UsbSer", "COM4", ""},
      {longest.c_str(), longest_port.c_str(), "A9"},
  };
  for (const PrefixCase& c : cases) {
    const std::string context = std::string("prefix \"") + c.prefix + "\", port " + c.name;
    CHECK_EQ(TRUE, qz.SetDevNotify(c.prefix, RecordA));
    HWND window = OwnNotifyWindow();
    CHECK(window != nullptr);
    SendBroadcast(window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, c.name);
    CHECK_CALLS(c.expected_calls, context.c_str());
  }

  // A prefix that does not fit is refused, and notification is then off.
  const std::string too_long(64, 'P');
  CHECK_EQ(FALSE, qz.SetDevNotify(too_long.c_str(), RecordA));
  CHECK(OwnNotifyWindow() == nullptr);
  CHECK_EQ(TRUE, qz.SetDevNotify(nullptr, nullptr));
}

void TestReplaceAndOff(const Library& qz) {
  CHECK_EQ(TRUE, qz.SetDevNotify("COM", RecordA));
  CHECK_EQ(TRUE, qz.SetDevNotify("COM", RecordB));
  HWND window = OwnNotifyWindow();
  CHECK(window != nullptr);
  SendBroadcast(window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM6");
  CHECK_CALLS("B6", "after replacing the callback");
  HWND next = FindWindowExA(nullptr, window, kClassName, kWindowName);
  CHECK(next == nullptr);  // the first window went

  CHECK_EQ(TRUE, qz.SetDevNotify(nullptr, nullptr));
  CHECK(OwnNotifyWindow() == nullptr);
  CHECK(!ClassRegistered());
  CHECK(!IsWindow(window));
}

// --- lifetime ---------------------------------------------------------------

struct Worker {
  const Library* qz;
  HANDLE ready;
  BOOL registered;
  bool pump;  // keep handling messages until WM_QUIT
};

DWORD WINAPI WorkerMain(void* context) {
  auto* worker = static_cast<Worker*>(context);
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // make the queue before anyone posts
  worker->registered = worker->qz->SetDevNotify(nullptr, RecordB);
  SetEvent(worker->ready);
  if (worker->pump) {
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      DispatchMessageA(&message);
    }
  }
  return 0;
}

HANDLE StartWorker(Worker* worker, DWORD* thread_id) {
  worker->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, WorkerMain, worker, 0, thread_id);
  WaitForSingleObject(worker->ready, 10000);
  CloseHandle(worker->ready);
  return thread;
}

void TestThreadExit(const Library& qz) {
  // The thread that made the window ends: notification ends with it, window
  // and class both, and the next caller starts afresh.
  Worker worker{&qz, nullptr, FALSE, false};
  DWORD thread_id = 0;
  HANDLE thread = StartWorker(&worker, &thread_id);
  CHECK_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  CloseHandle(thread);
  CHECK_EQ(TRUE, worker.registered);
  CHECK(FindWindowA(kClassName, kWindowName) == nullptr);
  CHECK(!ClassRegistered());

  CHECK_EQ(TRUE, qz.SetDevNotify(nullptr, RecordA));
  SendBroadcast(OwnNotifyWindow(), DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM3");
  CHECK_CALLS("A3", "after the first window's thread ended");
  CHECK_EQ(TRUE, qz.SetDevNotify(nullptr, nullptr));
}

void TestUnloadByOwner(Library* qz) {
  CHECK_EQ(TRUE, qz->SetDevNotify(nullptr, RecordA));
  CHECK(FreeLibrary(qz->module));
  CHECK(FindWindowA(kClassName, kWindowName) == nullptr);
  CHECK(!ClassRegistered());
}

void TestUnloadByAnotherThread(Library* qz) {
  // Another thread's window outlives the library: it must no longer reach the
  // library's code, and a fresh copy of the library must still work.
  Worker worker{qz, nullptr, FALSE, true};
  DWORD thread_id = 0;
  HANDLE thread = StartWorker(&worker, &thread_id);
  CHECK_EQ(TRUE, worker.registered);
  HWND orphan = FindWindowA(kClassName, kWindowName);
  CHECK(orphan != nullptr);
  CHECK(FreeLibrary(qz->module));
  // The window and its class now run the system's procedure. (Wine, like
  // 64-bit Windows, swallows a fault inside a window procedure, so a call
  // into the unloaded code would not show as a crash.)
  const auto system_procedure = reinterpret_cast<LONG_PTR>(&DefWindowProcA);
  CHECK(GetWindowLongPtrA(orphan, GWLP_WNDPROC) == system_procedure);
  CHECK(static_cast<LONG_PTR>(GetClassLongPtrA(orphan, GCLP_WNDPROC)) == system_procedure);

  DWORD_PTR result = 1;
  const DWORD name_offset = FIELD_OFFSET(DEV_BROADCAST_PORT_A, dbcp_name);
  std::vector<DWORD> storage(8, 0);
  auto* port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(storage.data());
  port->dbcp_size = name_offset + 5;
  port->dbcp_devicetype = DBT_DEVTYP_PORT;
  std::memcpy(port->dbcp_name, "COM7", 5);
  CHECK(SendMessageTimeoutA(orphan, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                            reinterpret_cast<LPARAM>(port), SMTO_ABORTIFHUNG, 5000, &result));
  CHECK_CALLS("", "broadcast to a window of an unloaded library");

  Library fresh;
  if (Load(&fresh)) {
    CHECK_EQ(TRUE, fresh.SetDevNotify(nullptr, RecordA));
    HWND window = OwnNotifyWindow();
    CHECK(window != nullptr && window != orphan);
    SendBroadcast(window, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM8");
    CHECK_CALLS("A8", "fresh copy of the library beside an orphan window");
    CHECK_EQ(TRUE, fresh.SetDevNotify(nullptr, nullptr));
    *qz = fresh;
  }
  PostThreadMessageA(thread_id, WM_QUIT, 0, 0);
  CHECK_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  CloseHandle(thread);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: qz719pt_test <QZ719PT.dll> identify|notify|lifetime\n");
    return 2;
  }
  dll_path = argv[1];
  const std::string group = argv[2];
  Library qz;
  if (!Load(&qz)) {
    return 1;
  }
  if (group == "identify") {
    TestIdentify(qz);
  } else if (group == "notify") {
    TestBroadcasts(qz);
    TestPrefixes(qz);
    TestReplaceAndOff(qz);
  } else if (group == "lifetime") {
    TestThreadExit(qz);
    TestUnloadByOwner(&qz);
    if (Load(&qz)) {
      TestUnloadByAnotherThread(&qz);
    }
  } else {
    std::printf("unknown group %s\n", group.c_str());
    return 2;
  }
  std::printf("%s: %s\n", group.c_str(), failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
