// The I/O manager's table of live IRPs, shared by the IRP core (irp.cpp)
// and the requests the I/O manager issues itself (request.cpp).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "kernel/io_private.h"
#include "nt/kernel.h"
#include "sim/scheduler.h"

namespace vax::kernel::irps {

// One dispatch call, kept until both its routine has returned and the
// completion walk has passed its stack location: only then is it known
// whether SL_PENDING_RETURNED matches the returned status, because a
// completion routine may mark the location pending after the dispatch
// routine has already returned STATUS_PENDING.
struct Frame {
  PIRP irp;
  int slot;  // index of the stack location the dispatch routine was given
  PDEVICE_OBJECT device;
  UCHAR major;
  bool returned = false;
  NTSTATUS status = 0;
  bool walked = false;
  bool marked = false;
};

// What the I/O manager does when an IRP it issued reaches its final stage.
struct Issued {
  PIO_STATUS_BLOCK iosb = nullptr;
  PKEVENT event = nullptr;
  PVOID copy_to = nullptr;  // buffered output goes back here
  ULONG copy_limit = 0;
  void* system_buffer = nullptr;  // freed at the final stage
  std::function<void(PIRP)> finisher;
  const void* thread = nullptr;  // issuing KernelThread, for IoCancelThreadIo
};

struct IrpRecord {
  PDRIVER_OBJECT driver = nullptr;
  io::Site site;
  bool ours = false;           // from IoAllocateIrp (freed by IoFreeIrp), not driver memory
  bool guard = false;          // a guard stack location precedes the first one
  bool walked_to_top = false;  // the walk passed the last location; not sent since
  std::unique_ptr<Issued> issued;
  std::vector<std::uint64_t> frames;
  int pins = 0;           // cancellers holding the IRP across IoCancelIrp
  bool finished = false;  // its final stage ran while pinned: free at the last unpin
};

// What is remembered of a freed IRP, for the reports about its later use.
struct FreedIrp {
  UCHAR major;
  ULONG code;
  io::Site allocated;
  PDRIVER_OBJECT driver;
  io::Site freed;
};

struct IrpState {
  sim::Mutex mutex;
  std::unordered_map<PIRP, IrpRecord> irps;
  std::unordered_map<std::uint64_t, Frame> frames;
  std::uint64_t next_frame = 1;
  std::unordered_map<PIRP, FreedIrp> freed;  // quarantined, by address
  std::deque<PIRP> quarantine;               // oldest first
};

IrpState& State();

// IoAllocateIrp with an explicit site, charged to the current driver and
// subject to fault injection.
PIRP AllocateIrp(CCHAR stack_size, const void* site);
// Forgets an IRP's record and frees (quarantines) it. Called with the lock held.
void ForgetLocked(IrpState& state, PIRP irp, const void* caller);
// The I/O manager's end of an IRP it issued, once the walk passed the top.
void FinalStage(PIRP irp);

}  // namespace vax::kernel::irps
