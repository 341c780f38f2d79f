// The Plug and Play manager and driver loading, as the rest of the platform
// and the tests use them. Drivers see only the Windows services; this is the
// system's side: loading a driver from its service key, binding it to the
// devices it serves, and the sequences a user, an application or the system
// triggers on a device.
//
// Every call here sends its requests from the calling thread at
// PASSIVE_LEVEL and returns once the device stack has completed them (the
// manager waits if a driver pends). Each device takes one PnP request at a
// time: a call made while another thread runs a sequence on the same device
// waits for that sequence to finish, then checks the device's state afresh.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nt/kernel.h"

namespace vax::kernel {

// ---------------------------------------------------------------------------
// Drivers

// A loaded driver.
struct LoadedDriver {
  PDRIVER_OBJECT object = nullptr;
  std::u16string service_name;  // e.g. u"Vaxport"
  std::u16string service_key;   // \Registry\Machine\System\CurrentControlSet\Services\<name>
};

// Creates the DRIVER_OBJECT and the service key (tests may fill values in the
// key before or after), calls DriverEntry with the key's path and returns the
// driver; nullptr with *status set when DriverEntry fails (the driver object
// goes away without DriverUnload, and what DriverEntry left allocated is
// reported as a leak) or the name is taken (STATUS_OBJECT_NAME_COLLISION).
// Every major function left alone fails with STATUS_INVALID_DEVICE_REQUEST.
LoadedDriver* LoadDriver(std::u16string_view service_name, PDRIVER_INITIALIZE entry,
                         NTSTATUS* status = nullptr);

// Removes every device the driver still serves (IRP_MN_REMOVE_DEVICE, as
// when the user disables them), calls DriverUnload, then runs the unload
// checks (pool, IRPs, devices, timers, DPCs, threads, WMI registrations the
// driver still owns) and frees the driver object. `driver` is gone after.
void UnloadDriver(LoadedDriver* driver);

// Devices whose hardware id equals `hardware_id` (case-insensitive) get
// `driver` as their function driver (the INF's job on Windows).
void BindFunctionDriver(std::u16string_view hardware_id, LoadedDriver* driver);

// ---------------------------------------------------------------------------
// The bus side

// A bus driver stand-in (the root bus for tests, the USB hub) creates a PDO
// with its own driver object (DO_BUS_ENUMERATED_DEVICE, an instance id set)
// and reports it: the PnP manager calls the bound driver's AddDevice with the
// PDO, then sends IRP_MN_START_DEVICE down the new stack (a failed start is
// followed by IRP_MN_REMOVE_DEVICE), then IRP_MN_QUERY_CAPABILITIES as
// Windows does after a start. Returns the start status, the AddDevice
// failure, or STATUS_NOT_FOUND when no driver is bound to the hardware id
// (the PDO then stays without a function driver). A PDO that was removed
// while still present (PnpState::kRemoved) may be reported again: that is
// "scan for hardware changes", and the driver is added and started anew.
NTSTATUS ReportDeviceArrival(PDEVICE_OBJECT pdo, std::u16string_view hardware_id);

// The device left the bus without warning: IRP_MN_SURPRISE_REMOVAL now (if a
// function driver had started it), IRP_MN_REMOVE_DEVICE once every handle to
// the stack is closed, which may be at once. The bus driver deletes its PDO
// when that removal reaches it.
void ReportDeviceGone(PDEVICE_OBJECT pdo);

// ---------------------------------------------------------------------------
// Device states and the requests a test can send

enum class PnpState {
  kNoDriver,   // reported, no driver bound to its hardware id
  kAddFailed,  // AddDevice failed; only the PDO is there
  kAdded,      // AddDevice done, start not yet sent (inside ReportDeviceArrival)
  kStarted,
  kStopPending,      // query-stop succeeded
  kStopped,          // stopped, waiting for its start
  kRemovePending,    // query-remove succeeded
  kSurpriseRemoved,  // waiting for its last handle to close
  kRemoved,          // function driver removed; the PDO is still present
  kGone,             // removed after it left the bus; the PDO is deleted
};
const char* PnpStateName(PnpState state);
// The state of the device node of `pdo`; kGone for an unknown PDO.
PnpState DevicePnpState(PDEVICE_OBJECT pdo);

// "START_DEVICE", "QUERY_REMOVE_DEVICE", ... ("0x1e" for others).
std::string PnpMinorName(UCHAR minor);

// Sends one PnP request under Windows' state rules and follows it up as
// Windows does. Allowed from:
//   IRP_MN_QUERY_STOP_DEVICE    kStarted        -> kStopPending; a veto is followed by
//                                                  IRP_MN_CANCEL_STOP_DEVICE (-> kStarted)
//   IRP_MN_CANCEL_STOP_DEVICE   kStopPending    -> kStarted
//   IRP_MN_STOP_DEVICE          kStopPending    -> kStopped
//   IRP_MN_START_DEVICE         kStopped        -> kStarted; a failure is followed by
//                                                  IRP_MN_REMOVE_DEVICE (-> kRemoved)
//   IRP_MN_QUERY_REMOVE_DEVICE  kStarted        -> kRemovePending; a veto is followed by
//                                                  IRP_MN_CANCEL_REMOVE_DEVICE (-> kStarted)
//   IRP_MN_CANCEL_REMOVE_DEVICE kRemovePending  -> kStarted
//   IRP_MN_REMOVE_DEVICE        kStarted, kStopped, kRemovePending -> kRemoved
// Anything else, or a request from another state, sends nothing and returns
// STATUS_INVALID_DEVICE_STATE. Returns the status the stack completed the
// request with. Cancel, stop and remove requests must not fail: a stack that
// fails one is reported (Rule::kOther).
NTSTATUS SendPnpRequest(PDEVICE_OBJECT pdo, UCHAR minor);

// The sequences, each run as one PnP operation (no other request on the
// device in between). Each returns the status of its first request that
// failed, or STATUS_SUCCESS.
//
// The user removes the device ("safely remove", disable): query-remove, then
// remove; on a veto, cancel-remove and the device stays started.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
// A removal that someone else vetoes after the driver agreed (an
// application refused it): query-remove, then cancel-remove.
NTSTATUS QueryRemoveThenCancel(PDEVICE_OBJECT pdo);
// Resource rebalance: query-stop, stop, start; on a veto, cancel-stop.
NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo);
// A rebalance abandoned after the driver agreed: query-stop, then cancel-stop.
NTSTATUS QueryStopThenCancel(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_CAPABILITIES to the whole stack, with the structure prepared
// as Windows prepares it (Size, Version 1, Address and UINumber 0xFFFFFFFF,
// the rest zero). Any state but kGone.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);

// ---------------------------------------------------------------------------
// Open handles, for the Win32 subset

// The I/O manager's side of "removal once every handle is closed". The Win32
// subset calls NoteHandleOpened after an IRP_MJ_CREATE succeeded on `device`
// (the device the name resolved to, any device of a PnP stack), and
// NoteHandleClosed after the IRP_MJ_CLOSE of that handle completed, with the
// same device pointer, at PASSIVE_LEVEL and with no lock of its own held:
// closing the last handle of a surprise-removed device sends
// IRP_MN_REMOVE_DEVICE from inside NoteHandleClosed, which may delete
// `device`. Devices outside any PnP stack are ignored.
void NoteHandleOpened(PDEVICE_OBJECT device);
void NoteHandleClosed(PDEVICE_OBJECT device);
int OpenHandleCount(PDEVICE_OBJECT pdo);

// ---------------------------------------------------------------------------
// For the platform's managers

// PDOs of the stacks that take system power requests (a function driver is
// loaded and the device is not removed), in arrival order.
std::vector<PDEVICE_OBJECT> PoweredStacks();

// Forgets every device node, driver, binding, power and WMI record and the
// root bus. The World calls it when it boots and when it shuts down; it calls
// no driver.
void ResetPlugAndPlay();

}  // namespace vax::kernel
