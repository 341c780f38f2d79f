// Application threads, simulated processes and the module handle. Every
// application thread is a sim thread; ending one does what Windows does at
// thread exit: its windows are destroyed and its I/O requests cancelled.
#include <functional>
#include <memory>
#include <string>

#include "win32/state.h"
#include "win32/subsystem.h"

using namespace vax::win32::internal;

namespace {

// The image base of an executable: what GetModuleHandleA(NULL) returns.
const HMODULE kExecutableModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x400000));
constexpr DWORD kProcessId = 0x1A4;
constexpr int kNormalPriority = 8;

// Starts `body` as a sim thread behind a thread or process handle.
HANDLE StartTask(ObjectKind kind, std::string name, std::function<DWORD()> body, DWORD* thread_id) {
  auto task = std::make_shared<TaskObject>(kind);
  KeInitializeEvent(&task->ended, NotificationEvent, FALSE);
  HANDLE handle = InsertHandle(task);
  vax::sim::Scheduler* scheduler = vax::sim::Scheduler::Current();
  vax::sim::Thread* thread = scheduler->Spawn(std::move(name), kNormalPriority, [task, body] {
    const DWORD code = body();
    EndUserThread();
    CancelThreadRequests();
    ForgetThread(vax::sim::Scheduler::Current()->Self());
    // The last step: whoever waits for the thread may shut the World down.
    task->exit_code = code;
    KeSetEvent(&task->ended, IO_NO_INCREMENT, FALSE);
  });
  task->id = ThreadInfoOf(thread)->id;
  if (thread_id != nullptr)
    *thread_id = task->id;
  return handle;
}

BOOL ExitCode(HANDLE handle, ObjectKind kind, LPDWORD code) {
  auto task = LookupHandle<TaskObject>(handle, kind);
  if (task == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  if (code == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  *code = KeReadStateEvent(&task->ended) != 0 ? task->exit_code : STILL_ACTIVE;
  return TRUE;
}

}  // namespace

namespace vax::win32 {

HANDLE StartProcess(std::string name, std::function<DWORD()> main) {
  return StartTask(ObjectKind::kProcess, std::move(name), std::move(main), nullptr);
}

}  // namespace vax::win32

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  UNREFERENCED_PARAMETER(lpThreadAttributes);
  UNREFERENCED_PARAMETER(dwStackSize);
  if (lpStartAddress == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A suspended start would need ResumeThread, which nothing here uses.
  if ((dwCreationFlags & CREATE_SUSPENDED) != 0) {
    SetError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return StartTask(
      ObjectKind::kThread, "win32-thread",
      [lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); }, lpThreadId);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  return ExitCode(hThread, ObjectKind::kThread, lpExitCode);
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  return ExitCode(hProcess, ObjectKind::kProcess, lpExitCode);
}

DWORD WINAPI GetCurrentThreadId(void) {
  return CurrentThreadInfo()->id;
}

HANDLE WINAPI GetCurrentThread(void) {
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

DWORD WINAPI GetCurrentProcessId(void) {
  return kProcessId;
}

HANDLE WINAPI GetCurrentProcess(void) {
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  // Only the executable is loaded: no DLL is mapped in the test bed.
  if (lpModuleName == nullptr)
    return kExecutableModule;
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

}  // extern "C"
