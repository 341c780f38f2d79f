// What the kernel stand-in's facilities share with each other and with the
// rest of the platform (USB stack, Win32 subset, World). Drivers never
// include this: they see only the Windows services of nt/kernel.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "nt/kernel.h"
#include "sim/scheduler.h"

namespace vax::kernel {

// Kernel state of one sim thread (the stand-in's KTHREAD). Created on first
// use for any sim thread, including the test's main thread and hardware
// model threads.
struct KernelThread {
  DISPATCHER_HEADER header{};  // first: PKTHREAD and PETHREAD point here; signalled at exit
  std::atomic<vax::sim::Thread*> sim{nullptr};  // set by whichever of creator and thread runs first
  KIRQL irql = PASSIVE_LEVEL;
  int spin_locks_held = 0;  // all spin locks, the cancel spin lock included
  bool holds_cancel_lock = false;
  PDRIVER_OBJECT driver =
      nullptr;                 // the driver whose code runs now (attribution of pool, timers...)
  bool system_thread = false;  // created by PsCreateSystemThread
  PDRIVER_OBJECT owner_driver = nullptr;  // driver that created this system thread
  bool finished = false;
  std::string name;
};

inline PKTHREAD AsKThread(KernelThread* thread) {
  return reinterpret_cast<PKTHREAD>(thread);
}
inline KernelThread* FromKThread(PVOID thread) {
  return reinterpret_cast<KernelThread*>(thread);
}

KernelThread* CurrentThread();

// Runs driver code attributed to `driver` for the lifetime of the scope:
// the I/O manager wraps every call into a driver (dispatch, AddDevice,
// DriverEntry, unload, completion and cancel routines, DPCs, start routines)
// so that pool, timers and threads can be charged to the driver that made
// them, and found again at its unload.
class DriverScope {
 public:
  explicit DriverScope(PDRIVER_OBJECT driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

 private:
  KernelThread* thread_;
  PDRIVER_OBJECT previous_;
};

// The system clock: 100-ns units since 1601 like Windows, advancing with the
// scheduler's clock from a fixed boot time so runs stay reproducible.
LONGLONG SystemTime();
// Converts a Windows timeout (NULL forever, negative relative, positive
// absolute, zero poll) into a scheduler deadline.
vax::sim::Ticks DeadlineFromTimeout(const LARGE_INTEGER* timeout);

// Asks the DPC and timer thread to run: a DPC was queued or a timer set.
void KickDpcThread();

// Checks a service's IRQL ceiling; reports kIrqlMisuse naming `service`.
void RequireIrqlAtMost(KIRQL ceiling, const char* service);

// Called by the USB stack as a request goes down: a spin lock held here is a
// driver fault (kSpinLockAcrossUsbCall).
void CheckNoSpinLockHeld(const char* where);

// Kernel handles (threads, registry keys). ZwClose runs the handle's close
// function; handles left open by a driver are reported at its unload.
enum class HandleKind { kThread, kRegistryKey };
HANDLE InsertHandle(HandleKind kind, void* object, void (*close)(void* object));
void* LookupHandle(HANDLE handle, HandleKind kind);  // nullptr if not such a handle

// Resources a driver still owns, for the leak checks at its unload. Each
// facility reports what it holds for `driver`, appending one line per leak.
void ReportPoolLeaks(PDRIVER_OBJECT driver, std::string* report);
void ReportTimerAndDpcLeaks(PDRIVER_OBJECT driver, std::string* report);
void ReportThreadLeaks(PDRIVER_OBJECT driver, std::string* report);
void ReportIrpLeaks(PDRIVER_OBJECT driver, std::string* report);

}  // namespace vax::kernel
