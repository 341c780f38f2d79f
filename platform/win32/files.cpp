// Files over the I/O manager: CreateFile through the DosDevices names, read,
// write, device control and flush requests with synchronous or overlapped
// completion, CancelIo, and CloseHandle's cleanup and close.
//
// Every request is an IRP the I/O manager issues (kernel/io.h); its final
// stage copies buffered output back, writes the status block (ours, or the
// caller's OVERLAPPED) and sets the event. A finisher of ours runs in that
// final stage, just before the IRP is freed, and forgets the request.
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/pnp.h"
#include "win32/state.h"
#include "win32/subsystem.h"

namespace vax::win32::internal {
namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kFoSynchronousIo = 0x00000002;

// IRP_MJ_CREATE options: disposition in the high byte, create options below.
constexpr ULONG kFileSupersede = 0;
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileOpenIf = 3;
constexpr ULONG kFileOverwrite = 4;
constexpr ULONG kFileOverwriteIf = 5;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;

struct File;

// One request issued for a handle, from IoCallDriver to its final stage.
struct Request {
  PIRP irp = nullptr;
  vax::sim::Thread* thread = nullptr;  // the issuing thread: CancelIo and thread exit
  std::shared_ptr<File> file;
  std::shared_ptr<Object> event_owner;  // the OVERLAPPED's event, alive until the end
  KEVENT done;                          // requests the caller waits for
  IO_STATUS_BLOCK iosb{};               // their status block
  bool cancel_tried = false;
};

struct File : Object, std::enable_shared_from_this<File> {
  File() : Object(ObjectKind::kFile) {}
  KEVENT* Waitable() override { return &signal; }
  void HandleClosed() override;

  FILE_OBJECT file_object{};
  PDEVICE_OBJECT named = nullptr;  // what the name resolved to; referenced
  PDEVICE_OBJECT top = nullptr;    // top of its stack, where requests go; referenced
  bool synchronous = false;        // opened without FILE_FLAG_OVERLAPPED
  bool read_access = false;
  bool write_access = false;
  KEVENT signal;  // notification: a request that named no event of its own ended
  KEVENT lock;    // synchronization, signalled while free: one synchronous request at a time
  KEVENT idle;    // synchronization: the file's last request in flight ended
};

struct FilesState {
  vax::sim::Mutex mutex;
  std::vector<std::shared_ptr<Request>> requests;  // in flight, every file
  std::map<PDEVICE_OBJECT, int> open_counts;       // by named device, CREATE to CLOSE
};

FilesState*& StatePointer() {
  static FilesState* state = nullptr;
  return state;
}

FilesState& State() {
  return *StatePointer();
}

bool HasRequests(FilesState& state, const File* file) {
  return std::any_of(state.requests.begin(), state.requests.end(),
                     [file](const auto& request) { return request->file.get() == file; });
}

// Runs in the request's final stage, in whatever thread completed it.
void Finish(const std::shared_ptr<Request>& request) {
  FilesState& state = State();
  std::unique_lock<vax::sim::Mutex> lock(state.mutex);
  auto& requests = state.requests;
  requests.erase(std::remove(requests.begin(), requests.end(), request), requests.end());
  const bool idle = !HasRequests(state, request->file.get());
  lock.unlock();
  if (idle)
    KeSetEvent(&request->file->idle, IO_NO_INCREMENT, FALSE);
}

std::shared_ptr<Request> NewRequest(const std::shared_ptr<File>& file) {
  auto request = std::make_shared<Request>();
  request->file = file;
  request->thread = vax::sim::Scheduler::Current()->Self();
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  return request;
}

// Sends a built IRP down the file's stack, tracked until its final stage.
NTSTATUS Send(const std::shared_ptr<Request>& request, PIRP irp) {
  request->irp = irp;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  {
    std::lock_guard<vax::sim::Mutex> lock(State().mutex);
    State().requests.push_back(request);
  }
  vax::kernel::SetRequestFinisher(irp, [request](PIRP) { Finish(request); });
  return IofCallDriver(request->file->top, irp);
}

using Builder = std::function<PIRP(PIO_STATUS_BLOCK, PKEVENT)>;

struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  bool pending = false;  // overlapped: the caller learns the end from its OVERLAPPED
};

// A request the caller waits for. On a synchronous handle the file's lock is
// held throughout, as the I/O manager serialises synchronous requests of one
// file object: a second thread's request waits for the first to end.
Outcome IssueAndWait(const std::shared_ptr<File>& file, const Builder& build, bool serialise) {
  const bool locked = serialise && file->synchronous;
  if (locked)
    KeWaitForSingleObject(&file->lock, UserRequest, UserMode, FALSE, nullptr);
  std::shared_ptr<Request> request = NewRequest(file);
  Outcome outcome;
  PIRP irp = build(&request->iosb, &request->done);
  if (irp == nullptr) {
    outcome.status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    outcome.status = Send(request, irp);
    if (outcome.status == STATUS_PENDING) {
      KeWaitForSingleObject(&request->done, UserRequest, UserMode, FALSE, nullptr);
      outcome.status = request->iosb.Status;
    }
    // The final stage writes the status block unless a request failed
    // without pending; then nothing was transferred.
    if (!NT_ERROR(outcome.status))
      outcome.information = request->iosb.Information;
  }
  if (locked)
    KeSetEvent(&file->lock, IO_NO_INCREMENT, FALSE);
  return outcome;
}

// Read, write and device control: overlapped on an overlapped handle given
// an OVERLAPPED, else waited for.
Outcome Issue(const std::shared_ptr<File>& file, LPOVERLAPPED overlapped, const Builder& build) {
  if (file->synchronous || overlapped == nullptr) {
    Outcome outcome = IssueAndWait(file, build, true);
    if (overlapped != nullptr) {
      overlapped->Internal = static_cast<ULONG_PTR>(static_cast<DWORD>(outcome.status));
      overlapped->InternalHigh = outcome.information;
    }
    return outcome;
  }
  // The low bit of hEvent only asks that no completion port hear of it.
  HANDLE event_handle =
      reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
  std::shared_ptr<EventObject> event;
  if (event_handle != nullptr) {
    event = LookupHandle<EventObject>(event_handle, ObjectKind::kEvent);
    if (event == nullptr)
      return Outcome{STATUS_INVALID_HANDLE, 0, false};
  }
  // Until the final stage writes it, the OVERLAPPED reads "pending"; the
  // event is cleared as the request starts, so it tells of this request only.
  overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
  overlapped->InternalHigh = 0;
  PKEVENT signal = event != nullptr ? &event->event : &file->signal;
  KeClearEvent(&file->signal);
  KeClearEvent(signal);
  std::shared_ptr<Request> request = NewRequest(file);
  request->event_owner = event;
  static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status) &&
                    offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information),
                "OVERLAPPED begins with the request's IO_STATUS_BLOCK");
  PIRP irp = build(reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal), signal);
  if (irp == nullptr)
    return Outcome{STATUS_INSUFFICIENT_RESOURCES, 0, false};
  Outcome outcome;
  outcome.status = Send(request, irp);
  outcome.pending = outcome.status == STATUS_PENDING;
  if (!outcome.pending && !NT_ERROR(outcome.status))
    outcome.information = overlapped->InternalHigh;
  return outcome;
}

// What ReadFile, WriteFile and DeviceIoControl return. Success statuses
// (STATUS_TIMEOUT of a serial read among them) succeed; warnings fail but
// still report what was transferred.
BOOL Report(const Outcome& outcome, LPDWORD transferred) {
  if (outcome.pending)
    return Fail(ERROR_IO_PENDING);
  if (NT_SUCCESS(outcome.status) || NT_WARNING(outcome.status)) {
    if (transferred != nullptr)
      *transferred = static_cast<DWORD>(outcome.information);
  }
  if (NT_SUCCESS(outcome.status))
    return TRUE;
  return FailStatus(outcome.status);
}

// Cancels, one at a time, the requests `choose` picks, as IoCancelIrp does.
template <typename Choose>
void CancelRequests(Choose choose) {
  for (;;) {
    std::shared_ptr<Request> chosen;
    {
      std::lock_guard<vax::sim::Mutex> lock(State().mutex);
      for (const auto& request : State().requests) {
        if (!request->cancel_tried && choose(*request)) {
          chosen = request;
          break;
        }
      }
      if (chosen == nullptr)
        return;
      chosen->cancel_tried = true;
    }
    // The request may complete at any moment; pinned, its IRP outlives
    // IoCancelIrp even if its final stage runs meanwhile.
    if (vax::kernel::PinRequest(chosen->irp)) {
      IoCancelIrp(chosen->irp);
      vax::kernel::UnpinRequest(chosen->irp);
    }
  }
}

// The NT name a Win32 path names: \\.\X and \\?\X are \??\X, and the
// reserved device names COM1-COM9 and LPT1-LPT9 (in any case, with an
// optional colon) are their \??\ links wherever they stand alone. Anything
// else is a file system path, and the test bed has no file system.
std::optional<std::u16string> NtPathOf(std::u16string path) {
  if (path.size() > 4 && path[0] == u'\\' && path[1] == u'\\' &&
      (path[2] == u'.' || path[2] == u'?') && path[3] == u'\\') {
    return u"\\??\\" + path.substr(4);
  }
  if (!path.empty() && path.back() == u':')
    path.pop_back();
  if (path.size() == 4 && path[3] >= u'1' && path[3] <= u'9') {
    std::u16string stem = path.substr(0, 3);
    for (char16_t& unit : stem) {
      if (unit >= u'a' && unit <= u'z')
        unit = static_cast<char16_t>(unit - u'a' + u'A');
    }
    if (stem == u"COM" || stem == u"LPT")
      return u"\\??\\" + stem + path[3];
  }
  return std::nullopt;
}

ULONG NtDisposition(DWORD disposition) {
  switch (disposition) {
    case CREATE_NEW:
      return kFileCreate;
    case CREATE_ALWAYS:
      return kFileOverwriteIf;
    case OPEN_EXISTING:
      return kFileOpen;
    case OPEN_ALWAYS:
      return kFileOpenIf;
    case TRUNCATE_EXISTING:
      return kFileOverwrite;
    default:
      return kFileSupersede;
  }
}

void ReleaseDevices(File& file) {
  {
    std::lock_guard<vax::sim::Mutex> lock(State().mutex);
    if (--State().open_counts[file.named] == 0)
      State().open_counts.erase(file.named);
  }
  vax::kernel::DereferenceDeviceObject(file.top);
  vax::kernel::DereferenceDeviceObject(file.named);
}

bool StackDeleted(const File& file) {
  return vax::kernel::IsDeviceDeleted(file.top) || vax::kernel::IsDeviceDeleted(file.named);
}

// IRP_MJ_CLOSE once nothing of the file is in flight any more: a request
// still running holds the file object, as it holds a reference on Windows.
// The PnP manager then learns that the handle is gone, and may remove a
// surprise-removed stack at once; our references keep the device objects'
// memory until we let go of them.
void SendClose(const std::shared_ptr<File>& file) {
  if (!StackDeleted(*file)) {
    IssueAndWait(
        file,
        [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
          return vax::kernel::BuildRequest(IRP_MJ_CLOSE, 0, file->top, &file->file_object, iosb,
                                           event);
        },
        false);
  }
  {
    std::lock_guard<vax::sim::Mutex> lock(State().mutex);
    if (--State().open_counts[file->named] == 0)
      State().open_counts.erase(file->named);
  }
  vax::kernel::NoteHandleClosed(file->named);
  vax::kernel::DereferenceDeviceObject(file->top);
  vax::kernel::DereferenceDeviceObject(file->named);
}

std::shared_ptr<File> FileOf(HANDLE handle) {
  return LookupHandle<File>(handle, ObjectKind::kFile);
}

void File::HandleClosed() {
  std::shared_ptr<File> file = shared_from_this();
  if (!StackDeleted(*file)) {
    IssueAndWait(
        file,
        [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
          return vax::kernel::BuildRequest(IRP_MJ_CLEANUP, 0, file->top, &file->file_object, iosb,
                                           event);
        },
        true);
  }
  bool busy;
  {
    std::lock_guard<vax::sim::Mutex> lock(State().mutex);
    busy = HasRequests(State(), file.get());
  }
  if (!busy) {
    SendClose(file);
    return;
  }
  // Requests the cleanup did not end keep the file object; the close follows
  // the last of them, as the handle is already gone.
  vax::sim::Scheduler::Current()->Spawn("win32-deferred-close", 8, [file] {
    for (;;) {
      {
        std::lock_guard<vax::sim::Mutex> lock(State().mutex);
        if (!HasRequests(State(), file.get()))
          break;
      }
      KeWaitForSingleObject(&file->idle, Executive, KernelMode, FALSE, nullptr);
    }
    SendClose(file);
  });
}

// The byte offset an OVERLAPPED names; 0 without one (a serial port has none).
LONGLONG FileOffset(const OVERLAPPED* overlapped) {
  if (overlapped == nullptr)
    return 0;
  return static_cast<LONGLONG>((ULONGLONG{overlapped->OffsetHigh} << 32) | overlapped->Offset);
}

}  // namespace

void BootFiles() {
  delete StatePointer();
  StatePointer() = new FilesState();
}

void CancelThreadRequests() {
  vax::sim::Thread* self = vax::sim::Scheduler::Current()->Self();
  CancelRequests([self](const Request& request) { return request.thread == self; });
}

BOOL SyncDeviceControl(HANDLE handle, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* returned) {
  std::shared_ptr<File> file = FileOf(handle);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  const Outcome outcome = IssueAndWait(
      file,
      [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        return vax::kernel::BuildDeviceControlRequest(code, file->top, &file->file_object,
                                                      const_cast<void*>(input), input_length,
                                                      output, output_length, false, iosb, event);
      },
      true);
  if (returned != nullptr)
    *returned = outcome.information;
  if (!NT_SUCCESS(outcome.status))
    return FailStatus(outcome.status);
  return TRUE;
}

}  // namespace vax::win32::internal

namespace vax::win32 {

int OpenFileCount(PDEVICE_OBJECT device) {
  using internal::State;
  std::lock_guard<vax::sim::Mutex> lock(State().mutex);
  auto found = State().open_counts.find(device);
  return found == State().open_counts.end() ? 0 : found->second;
}

}  // namespace vax::win32

using namespace vax::win32::internal;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  UNREFERENCED_PARAMETER(lpSecurityAttributes);
  UNREFERENCED_PARAMETER(hTemplateFile);
  if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
      dwCreationDisposition > TRUNCATE_EXISTING) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::optional<std::u16string> path = NtPathOf(vax::kernel::ToU16(lpFileName));
  if (!path) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  NTSTATUS status;
  PDEVICE_OBJECT named = vax::kernel::ResolveDevice(*path, &status);
  if (named == nullptr) {
    FailStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  if ((named->Flags & DO_DEVICE_INITIALIZING) != 0) {
    FailStatus(STATUS_NO_SUCH_DEVICE);
    return INVALID_HANDLE_VALUE;
  }
  // An exclusive device admits one file object at a time, counted from
  // before its IRP_MJ_CREATE is sent until its IRP_MJ_CLOSE.
  {
    std::lock_guard<vax::sim::Mutex> lock(State().mutex);
    int& count = State().open_counts[named];
    if ((named->Flags & DO_EXCLUSIVE) != 0 && count != 0) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    ++count;
  }

  auto file = std::make_shared<File>();
  file->named = named;
  vax::kernel::ReferenceDeviceObject(named);
  file->top = IoGetAttachedDeviceReference(named);
  file->synchronous = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0;
  file->read_access = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
  file->write_access = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  KeInitializeEvent(&file->signal, NotificationEvent, FALSE);
  KeInitializeEvent(&file->lock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&file->idle, SynchronizationEvent, FALSE);
  FILE_OBJECT& object = file->file_object;
  object.Type = kIoTypeFile;
  object.Size = sizeof(FILE_OBJECT);
  object.DeviceObject = named;
  object.Flags = file->synchronous ? kFoSynchronousIo : 0;
  object.ReadAccess = file->read_access;
  object.WriteAccess = file->write_access;
  object.SharedRead = (dwShareMode & FILE_SHARE_READ) != 0;
  object.SharedWrite = (dwShareMode & FILE_SHARE_WRITE) != 0;
  object.SharedDelete = (dwShareMode & FILE_SHARE_DELETE) != 0;

  const Outcome outcome = IssueAndWait(
      file,
      [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        PIRP irp = vax::kernel::BuildRequest(IRP_MJ_CREATE, 0, file->top, &object, iosb, event);
        if (irp == nullptr)
          return irp;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.Create.Options = (NtDisposition(dwCreationDisposition) << 24) |
                                          kFileNonDirectoryFile |
                                          (file->synchronous ? kFileSynchronousIoNonalert : 0);
        next->Parameters.Create.FileAttributes = static_cast<USHORT>(dwFlagsAndAttributes & 0x7FFF);
        next->Parameters.Create.ShareAccess = static_cast<USHORT>(dwShareMode);
        return irp;
      },
      false);
  if (!NT_SUCCESS(outcome.status)) {
    ReleaseDevices(*file);
    FailStatus(outcome.status);
    return INVALID_HANDLE_VALUE;
  }
  vax::kernel::NoteHandleOpened(named);
  SetError(ERROR_SUCCESS);
  return InsertHandle(std::move(file));
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Names here are ASCII; other bytes of the ANSI code page pass through as
  // the same code points, which only matters for names no device has.
  std::vector<WCHAR> wide;
  for (const char* c = lpFileName; *c != '\0'; ++c) {
    wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*c)));
  }
  wide.push_back(0);
  return CreateFileW(wide.data(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  std::shared_ptr<File> file = FileOf(hFile);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  if (lpNumberOfBytesRead != nullptr)
    *lpNumberOfBytesRead = 0;
  if (!file->read_access)
    return Fail(ERROR_ACCESS_DENIED);
  const LONGLONG offset = FileOffset(lpOverlapped);
  const Outcome outcome = Issue(file, lpOverlapped, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
    return vax::kernel::BuildReadWriteRequest(IRP_MJ_READ, file->top, &file->file_object, lpBuffer,
                                              nNumberOfBytesToRead, offset, iosb, event);
  });
  // A waited-for read at the end of the data succeeds with nothing read.
  if (outcome.status == STATUS_END_OF_FILE && !outcome.pending &&
      (file->synchronous || lpOverlapped == nullptr)) {
    return TRUE;
  }
  return Report(outcome, lpNumberOfBytesRead);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  std::shared_ptr<File> file = FileOf(hFile);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  if (lpNumberOfBytesWritten != nullptr)
    *lpNumberOfBytesWritten = 0;
  if (!file->write_access)
    return Fail(ERROR_ACCESS_DENIED);
  const LONGLONG offset = FileOffset(lpOverlapped);
  const Outcome outcome = Issue(file, lpOverlapped, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
    return vax::kernel::BuildReadWriteRequest(IRP_MJ_WRITE, file->top, &file->file_object,
                                              const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                                              offset, iosb, event);
  });
  return Report(outcome, lpNumberOfBytesWritten);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  std::shared_ptr<File> file = FileOf(hDevice);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  // The access a control code asks for (bits 14-15) must have been granted.
  const DWORD required = (dwIoControlCode >> 14) & 3;
  if (((required & FILE_READ_ACCESS) != 0 && !file->read_access) ||
      ((required & FILE_WRITE_ACCESS) != 0 && !file->write_access)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  const Outcome outcome = Issue(file, lpOverlapped, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
    return vax::kernel::BuildDeviceControlRequest(dwIoControlCode, file->top, &file->file_object,
                                                  lpInBuffer, nInBufferSize, lpOutBuffer,
                                                  nOutBufferSize, false, iosb, event);
  });
  return Report(outcome, lpBytesReturned);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  std::shared_ptr<File> file = FileOf(hFile);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  if (!file->write_access)
    return Fail(ERROR_ACCESS_DENIED);
  const Outcome outcome = IssueAndWait(
      file,
      [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        return vax::kernel::BuildRequest(IRP_MJ_FLUSH_BUFFERS, 0, file->top, &file->file_object,
                                         iosb, event);
      },
      true);
  if (!NT_SUCCESS(outcome.status))
    return FailStatus(outcome.status);
  return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  std::shared_ptr<File> file = FileOf(hFile);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  if (static_cast<DWORD>(lpOverlapped->Internal) == static_cast<DWORD>(STATUS_PENDING)) {
    if (!bWait)
      return Fail(ERROR_IO_INCOMPLETE);
    HANDLE event_handle =
        reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) & ~ULONG_PTR{1});
    std::shared_ptr<Object> waitable = file;
    if (event_handle != nullptr) {
      waitable = LookupHandle<EventObject>(event_handle, ObjectKind::kEvent);
      if (waitable == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    }
    KeWaitForSingleObject(waitable->Waitable(), UserRequest, UserMode, FALSE, nullptr);
  }
  const auto status = static_cast<NTSTATUS>(static_cast<DWORD>(lpOverlapped->Internal));
  if (lpNumberOfBytesTransferred != nullptr) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  if (!NT_SUCCESS(status))
    return FailStatus(status);
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  std::shared_ptr<File> file = FileOf(hFile);
  if (file == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  vax::sim::Thread* self = vax::sim::Scheduler::Current()->Self();
  CancelRequests(
      [&](const Request& request) { return request.file == file && request.thread == self; });
  return TRUE;
}

}  // extern "C"
