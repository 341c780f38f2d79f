// Requests the I/O manager issues on a caller's behalf (threaded IRPs of
// IoBuildDeviceIoControlRequest, the Win32 subset's reads, writes and
// controls) and their final stage: buffered copy-back, the caller's status
// block and event, freeing.
#include <cstdlib>
#include <cstring>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/irp_table.h"

namespace vax::kernel {
namespace irps {

// The end of a request the I/O manager issued: copy buffered output back,
// fill the caller's status block, free, then wake the caller.
void FinalStage(PIRP irp) {
  IrpState& state = State();
  std::unique_ptr<Issued> issued;
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    issued = std::move(state.irps[irp].issued);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  if (issued->copy_to != nullptr && !NT_ERROR(status)) {
    ULONG_PTR bytes = irp->IoStatus.Information;
    if (bytes > issued->copy_limit) {
      // Windows trusts Information and would overrun the caller's buffer.
      ReportViolation(Rule::kOther, "IRP " + io::Hex(irp) + " completed with Information " +
                                        std::to_string(bytes) + " for an output buffer of " +
                                        std::to_string(issued->copy_limit) + " bytes");
      bytes = issued->copy_limit;
    }
    if (bytes != 0)
      std::memcpy(issued->copy_to, irp->AssociatedIrp.SystemBuffer, bytes);
  }
  const bool report_status = !NT_ERROR(status) || irp->PendingReturned;
  if (report_status && issued->iosb != nullptr)
    *issued->iosb = irp->IoStatus;
  if (issued->finisher)
    issued->finisher(irp);
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    if (issued->system_buffer != nullptr)
      std::free(issued->system_buffer);
    issued->system_buffer = nullptr;
    irps::IrpRecord& record = state.irps[irp];
    if (record.pins > 0) {
      record.finished = true;  // a canceller still holds it; the last unpin frees it
    } else {
      ForgetLocked(state, irp, __builtin_return_address(0));
    }
  }
  if (report_status && issued->event != nullptr)
    KeSetEvent(issued->event, IO_NO_INCREMENT, FALSE);
}

}  // namespace irps

namespace {

using irps::AllocateIrp;
using irps::IrpState;
using irps::Issued;
using irps::State;

// Builds an IRP the I/O manager owns: StackSize locations of `device`, the
// next location's major function and file object, the caller's status block
// and event.
PIRP BuildIssued(UCHAR major, PDEVICE_OBJECT device, PFILE_OBJECT file, PIO_STATUS_BLOCK io_status,
                 PKEVENT event, const void* site, std::unique_ptr<Issued>* issued) {
  if (!io::CheckDevice(device, "building a request"))
    return nullptr;
  PIRP irp = AllocateIrp(device->StackSize, site);
  if (irp == nullptr)
    return nullptr;
  irp->UserIosb = io_status;
  irp->UserEvent = event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  *issued = std::make_unique<Issued>();
  (*issued)->iosb = io_status;
  (*issued)->event = event;
  (*issued)->thread = sim::Scheduler::Current() != nullptr ? CurrentThread() : nullptr;
  return irp;
}

void Attach(PIRP irp, std::unique_ptr<Issued> issued) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.irps[irp].issued = std::move(issued);
}

// A system buffer for buffered I/O: host heap, so overruns are seen, and
// not pool, since the I/O manager and not the driver owns it.
void* SystemBuffer(ULONG bytes, const void* input, ULONG input_bytes) {
  void* buffer = std::malloc(bytes != 0 ? bytes : 1);
  std::memset(buffer, 0xC5, bytes);
  if (input != nullptr && input_bytes != 0)
    std::memcpy(buffer, input, input_bytes);
  return buffer;
}

PIRP BuildControl(ULONG code, PDEVICE_OBJECT device, PFILE_OBJECT file, PVOID input,
                  ULONG input_length, PVOID output, ULONG output_length, bool internal,
                  PIO_STATUS_BLOCK io_status, PKEVENT event, const void* site) {
  std::unique_ptr<Issued> issued;
  PIRP irp = BuildIssued(internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, device,
                         file, io_status, event, site, &issued);
  if (irp == nullptr)
    return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  next->Parameters.DeviceIoControl.InputBufferLength = input_length;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
    irp->UserBuffer = output;
  } else {
    // METHOD_BUFFERED, and the direct methods too: without MDLs in the
    // stand-in their output also goes through the system buffer.
    const ULONG bytes = input_length > output_length ? input_length : output_length;
    if (bytes != 0) {
      issued->system_buffer = SystemBuffer(bytes, input, input_length);
      irp->AssociatedIrp.SystemBuffer = issued->system_buffer;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (output != nullptr && output_length != 0) {
      irp->Flags |= IRP_INPUT_OPERATION;
      issued->copy_to = output;
      issued->copy_limit = output_length;
    }
    irp->UserBuffer = output;
  }
  Attach(irp, std::move(issued));
  return irp;
}

}  // namespace

void SetRequestFinisher(PIRP irp, std::function<void(PIRP)> finisher) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.irps.find(irp);
  if (found != state.irps.end() && found->second.issued) {
    found->second.issued->finisher = std::move(finisher);
  }
}

bool PinRequest(PIRP irp) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.irps.find(irp);
  if (found == state.irps.end() || !found->second.issued)
    return false;  // not issued by the I/O manager, or already in its final stage
  found->second.pins++;
  return true;
}

void UnpinRequest(PIRP irp) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.irps.find(irp);
  if (found == state.irps.end() || found->second.pins == 0) {
    ReportViolation(Rule::kOther, "UnpinRequest of " + io::Hex(irp) + ", which is not pinned");
    return;
  }
  if (--found->second.pins == 0 && found->second.finished)
    ForgetLocked(state, irp, __builtin_return_address(0));
}

void CancelThreadIo(const void* thread) {
  std::vector<PIRP> irps;
  {
    IrpState& state = State();
    std::lock_guard<sim::Mutex> lock(state.mutex);
    for (auto& [irp, record] : state.irps) {
      if (record.issued && record.issued->thread == thread) {
        record.pins++;  // as PinRequest: the final stage must not free it under IoCancelIrp
        irps.push_back(irp);
      }
    }
  }
  for (PIRP irp : irps) {
    IoCancelIrp(irp);
    UnpinRequest(irp);
  }
}

PIRP BuildReadWriteRequest(UCHAR major_function, PDEVICE_OBJECT device, PFILE_OBJECT file,
                           PVOID buffer, ULONG length, LONGLONG byte_offset,
                           PIO_STATUS_BLOCK io_status, PKEVENT event) {
  std::unique_ptr<Issued> issued;
  PIRP irp = BuildIssued(major_function, device, file, io_status, event,
                         __builtin_return_address(0), &issued);
  if (irp == nullptr)
    return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Read.Length = length;
  next->Parameters.Read.ByteOffset.QuadPart = byte_offset;
  const bool read = major_function == IRP_MJ_READ;
  if ((device->Flags & DO_BUFFERED_IO) != 0 && length != 0) {
    issued->system_buffer = SystemBuffer(length, read ? nullptr : buffer, read ? 0 : length);
    irp->AssociatedIrp.SystemBuffer = issued->system_buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (read) {
      irp->Flags |= IRP_INPUT_OPERATION;
      issued->copy_to = buffer;
      issued->copy_limit = length;
    }
  }
  irp->UserBuffer = buffer;
  Attach(irp, std::move(issued));
  return irp;
}

PIRP BuildDeviceControlRequest(ULONG io_control_code, PDEVICE_OBJECT device, PFILE_OBJECT file,
                               PVOID input, ULONG input_length, PVOID output, ULONG output_length,
                               bool internal, PIO_STATUS_BLOCK io_status, PKEVENT event) {
  return BuildControl(io_control_code, device, file, input, input_length, output, output_length,
                      internal, io_status, event, __builtin_return_address(0));
}

PIRP BuildRequest(UCHAR major_function, UCHAR minor_function, PDEVICE_OBJECT device,
                  PFILE_OBJECT file, PIO_STATUS_BLOCK io_status, PKEVENT event) {
  std::unique_ptr<Issued> issued;
  PIRP irp = BuildIssued(major_function, device, file, io_status, event,
                         __builtin_return_address(0), &issued);
  if (irp == nullptr)
    return nullptr;
  IoGetNextIrpStackLocation(irp)->MinorFunction = minor_function;
  Attach(irp, std::move(issued));
  return irp;
}

}  // namespace vax::kernel

using namespace vax::kernel;

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                    PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                    ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  return BuildControl(IoControlCode, DeviceObject, nullptr, InputBuffer, InputBufferLength,
                      OutputBuffer, OutputBufferLength, InternalDeviceIoControl != FALSE,
                      IoStatusBlock, Event, __builtin_return_address(0));
}
