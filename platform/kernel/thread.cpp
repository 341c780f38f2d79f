// System threads, the kernel's view of every sim thread, driver attribution
// and kernel handles.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/checks.h"
#include "kernel/boot.h"
#include "kernel/dispatcher.h"
#include "kernel/io.h"

namespace vax::kernel {
namespace {

// Thrown by PsTerminateSystemThread and caught where the thread started: the
// only way to leave a start routine from the middle, as the real service does.
struct ThreadExit {};

struct HandleEntry {
  HandleKind kind;
  void* object;
  void (*close)(void*);
  PDRIVER_OBJECT driver;
};

struct ThreadState {
  vax::sim::Mutex lock;  // guards `threads` and `handles` in free mode
  std::vector<std::unique_ptr<KernelThread>> threads;
  std::map<ULONG_PTR, HandleEntry> handles;
  ULONG_PTR next_handle = 4;
  int system_threads_created = 0;
};

ThreadState*& State() {
  static ThreadState* state = nullptr;
  return state;
}

ThreadState& Required() {
  if (State() == nullptr) {
    std::fprintf(stderr, "kernel service called with no World booted\n");
    std::abort();
  }
  return *State();
}

KernelThread* Adopt(vax::sim::Scheduler* sched, vax::sim::Thread* sim, std::string name) {
  auto owned = std::make_unique<KernelThread>();
  KernelThread* kt = owned.get();
  kt->header.Type = kThreadObject;
  kt->header.SignalState = 0;
  InitializeListHead(&kt->header.WaitListHead);
  kt->sim = sim;
  kt->name = std::move(name);
  {
    std::lock_guard<vax::sim::Mutex> guard(Required().lock);
    Required().threads.push_back(std::move(owned));
  }
  if (sim != nullptr)
    sched->SetThreadData(sim, kt);
  return kt;
}

void Finish(KernelThread* kt) {
  DispatcherGuard guard;
  kt->finished = true;
  kt->header.SignalState = 1;
  SignalObject(guard, &kt->header);
}

}  // namespace

void FailThreadCreations(int count);

void BootThreads() {
  State() = new ThreadState();
  FailThreadCreations(0);
}

void ShutdownThreads() {
  delete State();
  State() = nullptr;
}

KernelThread* CurrentThread() {
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  if (sched == nullptr) {
    std::fprintf(stderr, "kernel service called with no World booted\n");
    std::abort();
  }
  vax::sim::Thread* self = sched->Self();
  if (auto* kt = static_cast<KernelThread*>(sched->ThreadData(self)))
    return kt;
  return Adopt(sched, self, sched->Name(self));
}

DriverScope::DriverScope(PDRIVER_OBJECT driver) : thread_(CurrentThread()) {
  previous_ = thread_->driver;
  thread_->driver = driver;
}

DriverScope::~DriverScope() {
  thread_->driver = previous_;
}

HANDLE InsertHandle(HandleKind kind, void* object, void (*close)(void* object)) {
  PDRIVER_OBJECT driver = CurrentThread()->driver;
  ThreadState& state = Required();
  std::lock_guard<vax::sim::Mutex> guard(state.lock);
  ULONG_PTR value = state.next_handle;
  state.next_handle += 4;
  state.handles[value] = HandleEntry{kind, object, close, driver};
  return reinterpret_cast<HANDLE>(value);
}

void* LookupHandle(HANDLE handle, HandleKind kind) {
  ThreadState& state = Required();
  std::lock_guard<vax::sim::Mutex> guard(state.lock);
  auto it = state.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == state.handles.end() || it->second.kind != kind)
    return nullptr;
  return it->second.object;
}

void ReportThreadLeaks(PDRIVER_OBJECT driver, std::string* report) {
  ThreadState& state = Required();
  std::lock_guard<vax::sim::Mutex> guard(state.lock);
  for (const auto& kt : state.threads) {
    if (kt->system_thread && kt->owner_driver == driver && !kt->finished) {
      *report += "  system thread " + kt->name + " still running\n";
    }
  }
  for (const auto& [value, entry] : state.handles) {
    if (entry.driver == driver) {
      *report += std::string("  ") +
                 (entry.kind == HandleKind::kThread ? "thread" : "registry key") + " handle " +
                 std::to_string(value) + " never closed\n";
    }
  }
}

}  // namespace vax::kernel

using namespace vax::kernel;

POBJECT_TYPE* PsThreadType = nullptr;
POBJECT_TYPE* ExEventObjectType = nullptr;

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(ObjectAttributes);
  UNREFERENCED_PARAMETER(ProcessHandle);
  RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (!ConsumeThreadCreation())
    return STATUS_INSUFFICIENT_RESOURCES;
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  KernelThread* creator = CurrentThread();
  int number;
  {
    std::lock_guard<vax::sim::Mutex> guard(Required().lock);
    number = ++Required().system_threads_created;
  }
  KernelThread* kt = Adopt(sched, nullptr, "system-" + std::to_string(number));
  kt->system_thread = true;
  kt->owner_driver = creator->driver;
  if (ClientId) {
    ClientId->UniqueProcess = nullptr;
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(number));
  }
  *ThreadHandle = InsertHandle(HandleKind::kThread, kt, nullptr);
  kt->sim = sched->Spawn(kt->name, 8, [sched, kt, StartRoutine, StartContext] {
    kt->sim = sched->Self();
    sched->SetThreadData(kt->sim, kt);
    {
      DriverScope scope(kt->owner_driver);
      try {
        StartRoutine(StartContext);
      } catch (const ThreadExit&) {
      }
    }
    if (kt->irql != PASSIVE_LEVEL || kt->spin_locks_held != 0) {
      ReportViolation(Rule::kIrqlMisuse, "system thread " + kt->name + " ended at IRQL " +
                                             std::to_string(kt->irql) + " holding " +
                                             std::to_string(kt->spin_locks_held) + " spin lock(s)");
    }
    // A thread that ends takes its outstanding requests with it.
    CancelThreadIo(kt);
    Finish(kt);
  });
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  UNREFERENCED_PARAMETER(ExitStatus);
  KernelThread* self = CurrentThread();
  if (!self->system_thread) {
    ReportViolation(Rule::kOther, "PsTerminateSystemThread from thread " + self->name +
                                      ", which is not a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  throw ThreadExit{};
}

PKTHREAD NTAPI KeGetCurrentThread(void) {
  return AsKThread(CurrentThread());
}

PETHREAD NTAPI PsGetCurrentThread(void) {
  return reinterpret_cast<PETHREAD>(CurrentThread());
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  KernelThread* kt = FromKThread(Thread);
  vax::sim::Scheduler* sched = vax::sim::Scheduler::Current();
  if (Priority < 0 || Priority > HIGH_PRIORITY) {
    ReportViolation(Rule::kOther, "KeSetPriorityThread with priority " + std::to_string(Priority) +
                                      " for thread " + kt->name);
    return sched->Priority(kt->sim);
  }
  KPRIORITY old = sched->Priority(kt->sim);
  sched->SetPriority(kt->sim, Priority);
  return old;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
  return vax::sim::Scheduler::Current()->Priority(FromKThread(Thread)->sim);
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(ObjectType);
  UNREFERENCED_PARAMETER(AccessMode);
  UNREFERENCED_PARAMETER(HandleInformation);
  void* object = LookupHandle(Handle, HandleKind::kThread);
  if (object == nullptr)
    return STATUS_INVALID_HANDLE;
  *Object = object;
  return STATUS_SUCCESS;
}

// Kernel objects here live until the World shuts down; references need no count.
void NTAPI ObfReferenceObject(PVOID Object) {
  UNREFERENCED_PARAMETER(Object);
}
void NTAPI ObfDereferenceObject(PVOID Object) {
  UNREFERENCED_PARAMETER(Object);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  HandleEntry entry;
  {
    ThreadState& state = Required();
    std::lock_guard<vax::sim::Mutex> guard(state.lock);
    auto it = state.handles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == state.handles.end())
      return STATUS_INVALID_HANDLE;
    entry = it->second;
    state.handles.erase(it);
  }
  if (entry.close)
    entry.close(entry.object);
  return STATUS_SUCCESS;
}

}  // extern "C"

namespace vax::kernel {
namespace {
int fail_thread_creations = 0;
}

void FailThreadCreations(int count) {
  fail_thread_creations = count;
}

bool ConsumeThreadCreation() {
  if (fail_thread_creations <= 0)
    return true;
  --fail_thread_creations;
  return false;
}

}  // namespace vax::kernel
