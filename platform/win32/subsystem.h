// The Win32 subset as the rest of the platform and the tests see it: its boot
// and shutdown (the World calls them), the status-to-error mapping, and the
// few things a test needs that Windows does not offer as an API.
#pragma once

#include <functional>
#include <string>

#include "nt/kernel.h"
#include "win32/windows.h"

namespace vax::win32 {

// Boot after the kernel, shut down before it. No request is sent at shutdown:
// whatever a test left open (handles, windows, queues) is dropped without a
// word when the next World boots.
void Boot();
void Shutdown();

// The Win32 error a status becomes in GetLastError (RtlNtStatusToDosError).
// Statuses without a mapping of their own give ERROR_MR_MID_NOT_FOUND, as on
// Windows.
DWORD DosErrorFromStatus(NTSTATUS status);

// Starts a simulated process: `main` runs as its first thread, and the
// returned process handle is signalled when it returns, with its result as
// the exit code (GetExitCodeProcess). The application stands in for an
// external program it waits on.
HANDLE StartProcess(std::string name, std::function<DWORD()> main);

// Handles open on the named device `device` (through its names and links);
// counts a handle from its IRP_MJ_CREATE until its IRP_MJ_CLOSE.
int OpenFileCount(PDEVICE_OBJECT device);

}  // namespace vax::win32
