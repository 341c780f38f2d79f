// Events, waits on handles and time: kernel dispatcher objects and the
// platform's virtual clock behind the Win32 names.
#include <memory>
#include <vector>

#include "win32/state.h"
#include "win32/subsystem.h"

using namespace vax::win32::internal;

namespace {

// A Win32 timeout in milliseconds as a kernel timeout: NULL for INFINITE,
// relative 100-ns units otherwise (zero polls).
PLARGE_INTEGER KernelTimeout(DWORD milliseconds, LARGE_INTEGER* storage) {
  if (milliseconds == INFINITE)
    return nullptr;
  storage->QuadPart = -static_cast<LONGLONG>(milliseconds) * vax::sim::kTicksPerMs;
  return storage;
}

DWORD WaitResult(NTSTATUS status) {
  if (status == STATUS_TIMEOUT)
    return WAIT_TIMEOUT;
  if (status >= STATUS_WAIT_0 && status <= STATUS_WAIT_63) {
    return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
  }
  SetError(vax::win32::DosErrorFromStatus(status));
  return WAIT_FAILED;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
  UNREFERENCED_PARAMETER(lpEventAttributes);
  UNREFERENCED_PARAMETER(lpName);
  auto event = std::make_shared<EventObject>();
  KeInitializeEvent(&event->event, bManualReset ? NotificationEvent : SynchronizationEvent,
                    bInitialState ? TRUE : FALSE);
  SetError(ERROR_SUCCESS);
  return InsertHandle(std::move(event));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = LookupHandle<EventObject>(hEvent, ObjectKind::kEvent);
  if (event == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = LookupHandle<EventObject>(hEvent, ObjectKind::kEvent);
  if (event == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  KeClearEvent(&event->event);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  // The object is held for the whole wait: closing its handle meanwhile
  // leaves the wait alone, as on Windows.
  std::shared_ptr<Object> object = LookupHandle(hHandle);
  if (object == nullptr || object->Waitable() == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  LARGE_INTEGER storage;
  return WaitResult(KeWaitForSingleObject(object->Waitable(), UserRequest, UserMode, FALSE,
                                          KernelTimeout(dwMilliseconds, &storage)));
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Object>> objects;
  std::vector<PVOID> waitables;
  for (DWORD i = 0; i < nCount; ++i) {
    std::shared_ptr<Object> object = LookupHandle(lpHandles[i]);
    if (object == nullptr || object->Waitable() == nullptr) {
      SetError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    waitables.push_back(object->Waitable());
    objects.push_back(std::move(object));
  }
  std::vector<KWAIT_BLOCK> blocks(nCount);
  LARGE_INTEGER storage;
  return WaitResult(KeWaitForMultipleObjects(
      nCount, waitables.data(), bWaitAll ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
      KernelTimeout(dwMilliseconds, &storage), blocks.data()));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    vax::sim::Yield("Sleep(0)");
  } else if (dwMilliseconds == INFINITE) {
    vax::sim::SleepUntil(vax::sim::kNoDeadline, "Sleep(INFINITE)");
  } else {
    vax::sim::SleepFor(static_cast<vax::sim::Ticks>(dwMilliseconds) * vax::sim::kTicksPerMs,
                       "Sleep");
  }
}

DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(vax::sim::Now() / vax::sim::kTicksPerMs);
}

}  // extern "C"
