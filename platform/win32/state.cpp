// Boot and shutdown of the Win32 subset, the per-thread state, the last error
// and the user-mode handle table.
#include "win32/state.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "win32/subsystem.h"

namespace vax::win32 {
namespace internal {
namespace {

// Handle values are multiples of four, as on Windows, from a base of their
// own so that a kernel handle passed to a Win32 call is refused.
constexpr ULONG_PTR kFirstHandle = 0x10000;
constexpr DWORD kFirstThreadId = 0x104;

struct ProcessState {
  vax::sim::Mutex mutex;
  std::map<vax::sim::Thread*, std::shared_ptr<ThreadInfo>> threads;
  DWORD next_thread_id = kFirstThreadId;
  std::map<ULONG_PTR, std::shared_ptr<Object>> handles;
  ULONG_PTR next_handle = kFirstHandle;
};

ProcessState*& StatePointer() {
  static ProcessState* state = nullptr;
  return state;
}

ProcessState& State() {
  if (StatePointer() == nullptr) {
    std::fprintf(stderr, "Win32 call with no World booted\n");
    std::abort();
  }
  return *StatePointer();
}

}  // namespace

std::shared_ptr<ThreadInfo> ThreadInfoOf(vax::sim::Thread* thread) {
  ProcessState& state = State();
  {
    std::lock_guard<vax::sim::Mutex> lock(state.mutex);
    auto found = state.threads.find(thread);
    if (found != state.threads.end())
      return found->second;
  }
  auto info = std::make_shared<ThreadInfo>();
  info->sim = thread;
  KeInitializeEvent(&info->wake, SynchronizationEvent, FALSE);
  std::lock_guard<vax::sim::Mutex> lock(state.mutex);
  auto [entry, inserted] = state.threads.emplace(thread, info);
  if (inserted) {
    info->id = state.next_thread_id;
    state.next_thread_id += 4;
  }
  return entry->second;
}

std::shared_ptr<ThreadInfo> CurrentThreadInfo() {
  return ThreadInfoOf(vax::sim::Scheduler::Current()->Self());
}

std::shared_ptr<ThreadInfo> FindThread(DWORD id) {
  ProcessState& state = State();
  std::lock_guard<vax::sim::Mutex> lock(state.mutex);
  for (const auto& [sim, info] : state.threads) {
    if (info->id == id)
      return info;
  }
  return nullptr;
}

void ForgetThread(vax::sim::Thread* thread) {
  ProcessState& state = State();
  std::lock_guard<vax::sim::Mutex> lock(state.mutex);
  state.threads.erase(thread);
}

void SetError(DWORD error) {
  CurrentThreadInfo()->last_error = error;
}

BOOL FailStatus(NTSTATUS status) {
  return Fail(DosErrorFromStatus(status));
}

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  ProcessState& state = State();
  std::lock_guard<vax::sim::Mutex> lock(state.mutex);
  const ULONG_PTR value = state.next_handle;
  state.next_handle += 4;
  state.handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  ProcessState& state = State();
  std::lock_guard<vax::sim::Mutex> lock(state.mutex);
  auto found = state.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return found == state.handles.end() ? nullptr : found->second;
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
  ProcessState& state = State();
  std::lock_guard<vax::sim::Mutex> lock(state.mutex);
  auto found = state.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (found == state.handles.end())
    return nullptr;
  std::shared_ptr<Object> object = std::move(found->second);
  state.handles.erase(found);
  return object;
}

}  // namespace internal

// The state of a World is dropped when the next one boots, not at its
// shutdown: the World's threads may still run while its kernel shuts down,
// and they must find the state they knew. After the scheduler is gone none of
// them runs again.
void Boot() {
  delete internal::StatePointer();
  internal::StatePointer() = new internal::ProcessState();
  internal::BootFiles();
  internal::BootUser();
  internal::BootBroadcasts();
}

void Shutdown() {
  internal::ShutdownBroadcasts();
}

}  // namespace vax::win32

using namespace vax::win32::internal;

extern "C" {

DWORD WINAPI GetLastError(void) {
  return CurrentThreadInfo()->last_error;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  SetError(dwErrCode);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  // The pseudo-handles of the current process and thread need no closing.
  if (hObject == GetCurrentProcess() || hObject == GetCurrentThread())
    return TRUE;
  std::shared_ptr<Object> object = RemoveHandle(hObject);
  if (object == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  object->HandleClosed();
  return TRUE;
}

}  // extern "C"
