// IRPs: allocation, IoCallDriver and IoCompleteRequest with the completion
// walk, and the checks on them. The final stage of requests the I/O manager
// issued is in request.cpp.
//
// Each IRP has a record in a side table (irp_table.h): who allocated it and
// where, whether the I/O manager issued it, and the dispatch calls still
// waiting for their pending check. IRPs from
// IoAllocateIrp carry one guard stack location below the first real one, so
// a driver that writes the "next" location of an IRP with none left is
// caught instead of overwriting the IRP header.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

#include "kernel/checks.h"
#include "kernel/faults.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/irp_table.h"

namespace vax::kernel {
namespace irps {

IrpState& State() {
  static IrpState* state = new IrpState;
  return *state;
}

}  // namespace irps

namespace {

using irps::AllocateIrp;
using irps::FinalStage;
using irps::ForgetLocked;
using irps::Frame;
using irps::FreedIrp;
using irps::IrpRecord;
using irps::IrpState;
using irps::State;

constexpr CSHORT kIoTypeIrp = 6;
constexpr unsigned char kGuardFill = 0xB7;
constexpr unsigned char kFreedFill = 0xDF;
// Freed IRPs are kept, filled with a pattern, for this many frees before
// their memory goes back to the heap: a driver completing or sending an IRP
// it no longer owns then writes to dead but valid memory, and the check that
// follows can name the IRP instead of the process dying on the write.
constexpr std::size_t kQuarantine = 256;

const char* MajorName(UCHAR major) {
  static const char* const kNames[] = {
      "IRP_MJ_CREATE",
      "IRP_MJ_CREATE_NAMED_PIPE",
      "IRP_MJ_CLOSE",
      "IRP_MJ_READ",
      "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION",
      "IRP_MJ_SET_INFORMATION",
      "IRP_MJ_QUERY_EA",
      "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS",
      "IRP_MJ_QUERY_VOLUME_INFORMATION",
      "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL",
      "IRP_MJ_FILE_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL",
      "IRP_MJ_SHUTDOWN",
      "IRP_MJ_LOCK_CONTROL",
      "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT",
      "IRP_MJ_QUERY_SECURITY",
      "IRP_MJ_SET_SECURITY",
      "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CHANGE",
      "IRP_MJ_QUERY_QUOTA",
      "IRP_MJ_SET_QUOTA",
      "IRP_MJ_PNP",
  };
  return major < RTL_NUMBER_OF(kNames) ? kNames[major] : "an invalid major function";
}

PIO_STACK_LOCATION FirstLocation(PIRP irp, bool guard) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (guard ? 1 : 0);
}

void Layout(PIRP irp, USHORT packet_size, CCHAR stack_size, bool guard) {
  std::memset(irp, 0, sizeof(IRP));
  irp->Type = kIoTypeIrp;
  irp->Size = packet_size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  InitializeListHead(&irp->ThreadListEntry);
  PIO_STACK_LOCATION first = FirstLocation(irp, guard);
  std::memset(first, 0, sizeof(IO_STACK_LOCATION) * static_cast<std::size_t>(stack_size));
  if (guard)
    std::memset(first - 1, kGuardFill, sizeof(IO_STACK_LOCATION));
  irp->Tail.Overlay.CurrentStackLocation = first + stack_size;
}

bool GuardIntact(PIRP irp) {
  const auto* guard = reinterpret_cast<const unsigned char*>(FirstLocation(irp, true) - 1);
  for (std::size_t i = 0; i < sizeof(IO_STACK_LOCATION); ++i) {
    if (guard[i] != kGuardFill)
      return false;
  }
  return true;
}

void RestoreGuard(PIRP irp) {
  std::memset(FirstLocation(irp, true) - 1, kGuardFill, sizeof(IO_STACK_LOCATION));
}

// The major function an IRP is about, from the location a driver holds or
// the one its originator filled. Called only while the IRP is alive.
UCHAR MajorOf(PIRP irp) {
  if (irp->StackCount <= 0)
    return 0xFF;
  if (irp->CurrentLocation <= irp->StackCount && irp->CurrentLocation >= 1) {
    return irp->Tail.Overlay.CurrentStackLocation->MajorFunction;
  }
  return (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction;
}

ULONG ControlCodeOf(PIRP irp) {
  const UCHAR major = MajorOf(irp);
  if (major != IRP_MJ_DEVICE_CONTROL && major != IRP_MJ_INTERNAL_DEVICE_CONTROL)
    return 0;
  const PIO_STACK_LOCATION location = irp->CurrentLocation <= irp->StackCount
                                          ? irp->Tail.Overlay.CurrentStackLocation
                                          : irp->Tail.Overlay.CurrentStackLocation - 1;
  return location->Parameters.DeviceIoControl.IoControlCode;
}

std::string Describe(PIRP irp, UCHAR major, ULONG code, const io::Site& site,
                     PDRIVER_OBJECT driver) {
  std::string text = "IRP " + io::Hex(irp) + " (" + MajorName(major);
  if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    char hex[24];
    std::snprintf(hex, sizeof(hex), " 0x%X", code);
    text += hex;
  }
  text += ") allocated at " + io::DescribeSite(site);
  if (driver != nullptr)
    text += " by " + io::DriverLabel(driver);
  return text;
}

// Called with the lock held.
std::string DescribeLocked(PIRP irp, const IrpRecord& record) {
  return Describe(irp, MajorOf(irp), ControlCodeOf(irp), record.site, record.driver);
}

// A freed IRP named by what it was, and where it was freed.
std::string DescribeFreed(PIRP irp, const FreedIrp& freed) {
  return Describe(irp, freed.major, freed.code, freed.allocated, freed.driver) + ", freed at " +
         io::DescribeSite(freed.freed);
}

}  // namespace

namespace irps {

PIRP AllocateIrp(CCHAR stack_size, const void* site) {
  PDRIVER_OBJECT driver = io::CurrentDriver();
  if (ShouldFailAllocation(AllocationKind::kIrp, site, driver))
    return nullptr;
  const std::size_t count = stack_size > 0 ? static_cast<std::size_t>(stack_size) : 0;
  auto* irp = static_cast<PIRP>(std::malloc(sizeof(IRP) + (count + 1) * sizeof(IO_STACK_LOCATION)));
  if (irp == nullptr)
    return nullptr;
  Layout(irp, IoSizeOfIrp(stack_size), stack_size, true);
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.freed.erase(irp);
  IrpRecord& record = state.irps[irp];
  record = IrpRecord{};
  record.driver = driver;
  record.site = io::CaptureSite(site);
  record.ours = true;
  record.guard = true;
  return irp;
}

// Frames whose location the walk never
// reached can no longer be judged and are dropped; walked ones stay until
// their dispatch routine returns. Called with the lock held.
void ForgetLocked(IrpState& state, PIRP irp, const void* caller) {
  auto found = state.irps.find(irp);
  if (found == state.irps.end())
    return;
  for (std::uint64_t id : found->second.frames) {
    auto frame = state.frames.find(id);
    if (frame != state.frames.end() && !frame->second.walked)
      state.frames.erase(frame);
  }
  const bool ours = found->second.ours;
  if (found->second.issued && found->second.issued->system_buffer != nullptr) {
    std::free(found->second.issued->system_buffer);
  }
  FreedIrp freed{MajorOf(irp), ControlCodeOf(irp), found->second.site, found->second.driver,
                 io::CaptureSite(caller)};
  state.irps.erase(found);
  if (!ours)
    return;
  std::memset(irp, kFreedFill, sizeof(IRP));
  state.freed[irp] = std::move(freed);
  state.quarantine.push_back(irp);
  if (state.quarantine.size() > kQuarantine) {
    PIRP oldest = state.quarantine.front();
    state.quarantine.pop_front();
    state.freed.erase(oldest);
    std::free(oldest);
  }
}

}  // namespace irps

namespace {

void CheckFrame(const Frame& frame, std::vector<std::pair<Rule, std::string>>* faults) {
  const bool pending = frame.status == STATUS_PENDING;
  if (pending == frame.marked)
    return;
  std::string text = "dispatch routine of " + io::DescribeDevice(frame.device) + " for IRP " +
                     io::Hex(frame.irp) + " (" + MajorName(frame.major) + ") ";
  if (pending) {
    faults->emplace_back(Rule::kPendingWithoutMark,
                         text + "returned STATUS_PENDING without IoMarkIrpPending");
  } else {
    char status[16];
    std::snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(frame.status));
    faults->emplace_back(Rule::kMarkWithoutPending,
                         text + "called IoMarkIrpPending but returned " + status);
  }
}

void Report(const std::vector<std::pair<Rule, std::string>>& faults) {
  for (const auto& [rule, message] : faults)
    ReportViolation(rule, message);
}

}  // namespace

namespace io {

void ResetIrps() {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  for (auto& [irp, record] : state.irps) {
    if (record.issued && record.issued->system_buffer != nullptr) {
      std::free(record.issued->system_buffer);
    }
    if (record.ours)
      std::free(irp);
  }
  state.irps.clear();
  state.frames.clear();
  for (PIRP irp : state.quarantine)
    std::free(irp);
  state.freed.clear();
  state.quarantine.clear();
}

bool IsLiveIrp(PIRP irp) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  return state.irps.count(irp) != 0;
}

}  // namespace io

std::string DescribeIrp(PIRP irp) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.irps.find(irp);
  if (found == state.irps.end())
    return "IRP " + io::Hex(irp) + " (not allocated)";
  return DescribeLocked(irp, found->second);
}

std::vector<IrpInfo> LiveIrps(PDRIVER_OBJECT driver) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::vector<IrpInfo> irps;
  for (const auto& [irp, record] : state.irps) {
    if (driver != nullptr && record.driver != driver)
      continue;
    irps.push_back({irp, record.driver, io::DescribeSite(record.site), record.issued != nullptr});
  }
  return irps;
}

void ReportIrpLeaks(PDRIVER_OBJECT driver, std::string* report) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  for (const auto& [irp, record] : state.irps) {
    // An IRP set up in the driver's own memory goes with that memory, which
    // the pool check covers; the memory may already be gone.
    if (!record.ours)
      continue;
    if (record.driver == driver) {
      *report += DescribeLocked(irp, record) + ", never freed\n";
      continue;
    }
    // An IRP one of the driver's devices holds and never completed.
    PIO_STACK_LOCATION first = FirstLocation(irp, record.guard);
    for (int slot = irp->CurrentLocation - 1; slot >= 0 && slot < irp->StackCount; ++slot) {
      PDEVICE_OBJECT device = first[slot].DeviceObject;
      if (device != nullptr && io::DeviceDriver(device) == driver) {
        *report += DescribeLocked(irp, record) + ", held by " + io::DescribeDevice(device) +
                   " and never completed\n";
        break;
      }
    }
  }
}

}  // namespace vax::kernel

using namespace vax::kernel;
namespace sim = vax::sim;

extern "C" {

USHORT NTAPI IoSizeOfIrp(CCHAR StackSize) {
  return static_cast<USHORT>(sizeof(IRP) +
                             sizeof(IO_STACK_LOCATION) * static_cast<std::size_t>(StackSize));
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  return AllocateIrp(StackSize, __builtin_return_address(0));
}

void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.irps.find(Irp);
  if (found != state.irps.end()) {
    // Our own IRP initialised again: keep its guard location.
    Layout(Irp, PacketSize, StackSize, found->second.guard);
    found->second.walked_to_top = false;
    return;
  }
  // Driver memory of IoSizeOfIrp bytes: locations right after the header.
  Layout(Irp, PacketSize, StackSize, false);
  IrpRecord& record = state.irps[Irp];
  record.driver = io::CurrentDriver();
  record.site = io::CaptureSite(__builtin_return_address(0));
}

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  IrpState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.irps.find(Irp);
  const bool guard = found != state.irps.end() && found->second.guard;
  const UCHAR allocation_flags = Irp->AllocationFlags;
  Layout(Irp, Irp->Size, Irp->StackCount, guard);
  Irp->AllocationFlags = allocation_flags;
  Irp->IoStatus.Status = Iostatus;
  if (found != state.irps.end()) {
    for (std::uint64_t id : found->second.frames)
      state.frames.erase(id);
    found->second.frames.clear();
    found->second.walked_to_top = false;
  }
}

void NTAPI IoFreeIrp(PIRP Irp) {
  const void* caller = __builtin_return_address(0);
  IrpState& state = State();
  std::string fault;
  Rule rule = Rule::kOther;
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = state.irps.find(Irp);
    if (found == state.irps.end()) {
      auto freed = state.freed.find(Irp);
      fault = "IoFreeIrp(" + io::Hex(Irp) + ") at " + io::DescribeSite(io::CaptureSite(caller)) +
              (freed != state.freed.end() ? ": already freed: " + DescribeFreed(Irp, freed->second)
                                          : std::string(": not an IRP from IoAllocateIrp"));
    } else if (!found->second.ours) {
      fault = "IoFreeIrp of " + DescribeLocked(Irp, found->second) +
              ", which IoInitializeIrp set up in the driver's own memory";
    } else if (found->second.issued) {
      fault = "IoFreeIrp of " + DescribeLocked(Irp, found->second) +
              ", which the I/O manager issued and frees itself";
    } else if (Irp->CurrentLocation <= Irp->StackCount) {
      fault = "IoFreeIrp of " + DescribeLocked(Irp, found->second) +
              " while a driver below still holds it";
    } else if (found->second.guard && !GuardIntact(Irp)) {
      rule = Rule::kIrpStackOverrun;
      fault = DescribeLocked(Irp, found->second) +
              ": a stack location below the first was written (a next location set up with "
              "none left)";
      RestoreGuard(Irp);
    }
    if (fault.empty() || rule == Rule::kIrpStackOverrun)
      ForgetLocked(state, Irp, caller);
  }
  if (!fault.empty())
    ReportViolation(rule, std::move(fault));
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (sim::Scheduler* scheduler = sim::Scheduler::Current())
    scheduler->Yield("IoCallDriver");
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
  KernelThread* thread = sim::Scheduler::Current() != nullptr ? CurrentThread() : nullptr;
  if (thread != nullptr && thread->holds_cancel_lock) {
    ReportViolation(Rule::kCallUnderCancelLock, "IoCallDriver of " + DescribeIrp(Irp) + " to " +
                                                    io::DescribeDevice(DeviceObject) +
                                                    " with the cancel spin lock held");
  }
  if (!io::CheckDevice(DeviceObject, "IoCallDriver"))
    return STATUS_NO_SUCH_DEVICE;

  IrpState& state = State();
  std::string fault;
  Rule rule = Rule::kOther;
  std::uint64_t frame_id = 0;
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = state.irps.find(Irp);
    if (found == state.irps.end()) {
      auto freed = state.freed.find(Irp);
      fault = "IoCallDriver to " + io::DescribeDevice(DeviceObject) + " with " +
              (freed != state.freed.end() ? "freed " + DescribeFreed(Irp, freed->second)
                                          : "non-IRP " + io::Hex(Irp));
    } else if (Irp->CurrentLocation <= 1 || (found->second.guard && !GuardIntact(Irp))) {
      rule = Rule::kIrpStackOverrun;
      fault = "IoCallDriver to " + io::DescribeDevice(DeviceObject) + " of " +
              DescribeLocked(Irp, found->second) + " with no stack location left (StackCount " +
              std::to_string(Irp->StackCount) + ", target StackSize " +
              std::to_string(DeviceObject->StackSize) + ")";
      if (found->second.guard)
        RestoreGuard(Irp);
    } else {
      IrpRecord& record = found->second;
      record.walked_to_top = false;
      IoSetNextIrpStackLocation(Irp);
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
      location->DeviceObject = DeviceObject;
      frame_id = state.next_frame++;
      Frame frame{Irp, Irp->CurrentLocation - 1, DeviceObject, location->MajorFunction};
      state.frames.emplace(frame_id, frame);
      record.frames.push_back(frame_id);
    }
  }
  if (!fault.empty()) {
    // The request goes nowhere; the caller gets a failure and keeps the IRP.
    ReportViolation(rule, std::move(fault));
    return rule == Rule::kIrpStackOverrun ? STATUS_INVALID_DEVICE_STATE : STATUS_INVALID_PARAMETER;
  }

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR major = location->MajorFunction;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION && driver != nullptr
                                  ? driver->MajorFunction[major]
                                  : nullptr;
  if (dispatch == nullptr)
    dispatch = io::InvalidDeviceRequest;
  const KIRQL irql = KeGetCurrentIrql();
  const bool held_cancel_lock = thread != nullptr && thread->holds_cancel_lock;
  NTSTATUS status;
  {
    DriverScope scope(driver);
    status = dispatch(DeviceObject, Irp);
  }
  std::vector<std::pair<Rule, std::string>> faults;
  if (KeGetCurrentIrql() != irql) {
    faults.emplace_back(Rule::kIrqlMisuse, "dispatch routine of " +
                                               io::DescribeDevice(DeviceObject) + " for " +
                                               MajorName(major) + " returned at IRQL " +
                                               std::to_string(KeGetCurrentIrql()) +
                                               ", entered at " + std::to_string(irql));
  }
  if (thread != nullptr && thread->holds_cancel_lock && !held_cancel_lock) {
    faults.emplace_back(Rule::kOther, "dispatch routine of " + io::DescribeDevice(DeviceObject) +
                                          " for " + MajorName(major) +
                                          " returned holding the cancel spin lock");
  }
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = state.frames.find(frame_id);
    if (found != state.frames.end()) {
      Frame& frame = found->second;
      frame.returned = true;
      frame.status = status;
      if (frame.walked) {
        CheckFrame(frame, &faults);
        state.frames.erase(found);
      }
    }
  }
  Report(faults);
  return status;
}

void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  sim::Scheduler* scheduler = sim::Scheduler::Current();
  if (scheduler != nullptr)
    scheduler->Yield("IoCompleteRequest");
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  if (scheduler != nullptr && CurrentThread()->holds_cancel_lock) {
    ReportViolation(Rule::kCompleteUnderCancelLock,
                    "IoCompleteRequest of " + DescribeIrp(Irp) + " with the cancel spin lock held");
  }
  IrpState& state = State();
  {
    std::string fault;
    Rule rule = Rule::kIrpCompletedTwice;
    PDRIVER_CANCEL cancel_routine = nullptr;
    {
      std::lock_guard<sim::Mutex> lock(state.mutex);
      auto found = state.irps.find(Irp);
      if (found == state.irps.end()) {
        auto freed = state.freed.find(Irp);
        if (freed != state.freed.end()) {
          fault = "IoCompleteRequest of " + DescribeFreed(Irp, freed->second) +
                  ": completed after it was finished and freed";
        } else {
          rule = Rule::kOther;
          fault = "IoCompleteRequest of " + io::Hex(Irp) + ", which is not an IRP";
        }
      } else if (Irp->CurrentLocation > Irp->StackCount + 1 ||
                 (found->second.walked_to_top && Irp->CurrentLocation == Irp->StackCount + 1)) {
        fault = "IoCompleteRequest of " + DescribeLocked(Irp, found->second) +
                ", which was already completed";
      } else {
        cancel_routine = Irp->CancelRoutine;
      }
    }
    if (!fault.empty()) {
      // Walking again would run completion routines a second time.
      ReportViolation(rule, std::move(fault));
      return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
      ReportViolation(Rule::kIrpCompletedPending,
                      "IoCompleteRequest of " + DescribeIrp(Irp) + " with STATUS_PENDING");
    }
    if (cancel_routine != nullptr) {
      ReportViolation(Rule::kIrpCompletedWithCancelRoutine,
                      "IoCompleteRequest of " + DescribeIrp(Irp) + " with cancel routine " +
                          io::DescribePc(reinterpret_cast<const void*>(cancel_routine)) +
                          " still set");
      Irp->CancelRoutine = nullptr;
    }
  }
  if (scheduler != nullptr) {
    scheduler->Note(0x1C0000000ull ^ (static_cast<std::uint64_t>(MajorOf(Irp)) << 32) ^
                    static_cast<std::uint32_t>(Irp->IoStatus.Status));
  }

  // The walk: a location's completion routine was set by the driver above,
  // so it runs with that driver's location current (NULL device for the
  // originator, who has none).
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR control = location->Control;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    std::vector<std::pair<Rule, std::string>> faults;
    PDRIVER_OBJECT originator = nullptr;
    {
      std::lock_guard<sim::Mutex> lock(state.mutex);
      auto found = state.irps.find(Irp);
      if (found == state.irps.end())
        return;  // freed under us: nothing left to walk
      IrpRecord& record = found->second;
      originator = record.driver;
      const int slot = Irp->CurrentLocation - 1;
      for (auto id = record.frames.begin(); id != record.frames.end();) {
        auto frame = state.frames.find(*id);
        if (frame == state.frames.end() || frame->second.slot != slot) {
          ++id;
          continue;
        }
        frame->second.walked = true;
        frame->second.marked = (control & SL_PENDING_RETURNED) != 0;
        if (frame->second.returned) {
          CheckFrame(frame->second, &faults);
          state.frames.erase(frame);
        }
        id = record.frames.erase(id);
      }
    }
    Report(faults);

    IoSkipCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke =
        routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                               (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                               (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
    const bool at_top = Irp->CurrentLocation > Irp->StackCount;
    if (!invoke) {
      if (Irp->PendingReturned && !at_top)
        IoMarkIrpPending(Irp);
      continue;
    }
    PDEVICE_OBJECT device = at_top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    PDRIVER_OBJECT driver = device != nullptr ? io::DeviceDriver(device) : originator;
    NTSTATUS result;
    {
      DriverScope scope(driver);
      result = routine(device, Irp, context);
    }
    // The owner has the IRP back and may already have freed or resent it.
    if (result == STATUS_MORE_PROCESSING_REQUIRED)
      return;
  }

  bool issued = false;
  std::string description;
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = state.irps.find(Irp);
    if (found == state.irps.end())
      return;
    IrpRecord& record = found->second;
    record.walked_to_top = true;
    issued = record.issued != nullptr;
    if (!issued)
      description = DescribeLocked(Irp, record);
  }
  if (issued) {
    FinalStage(Irp);
    return;
  }
  // Windows would now finish the request for a thread it was never issued
  // by. The IRP stays with its owner.
  ReportViolation(Rule::kOther, description +
                                    " was completed past its last stack location: the owner's "
                                    "completion routine must return "
                                    "STATUS_MORE_PROCESSING_REQUIRED and free or reuse it");
}

}  // extern "C"
