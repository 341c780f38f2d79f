// Boot and shutdown of the kernel stand-in's facilities, in the order the
// World calls them, and the switches tests use on them.
#pragma once

#include <cstddef>

#include "nt/kernel.h"

namespace vax::kernel {

void BootThreads();
void ShutdownThreads();
void BootTimers(int processors);  // starts one DPC thread per simulated processor
void ShutdownTimers();
// Forgets every wait; at shutdown, when abandoned threads' waits are gone.
void ResetDispatcher();

// Fault injection for system threads: the next `count` PsCreateSystemThread
// calls fail with STATUS_INSUFFICIENT_RESOURCES.
void FailThreadCreations(int count);
bool ConsumeThreadCreation();  // false: this creation is to fail

// A device extension is going away: a timer or DPC still queued in it is
// reported (kDeletedDeviceUse) and dequeued, and their attribution forgotten.
void ForgetTimerObjects(const void* begin, std::size_t length);

}  // namespace vax::kernel
