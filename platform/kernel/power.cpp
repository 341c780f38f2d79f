// The power manager: PoCallDriver and PoStartNextPowerIrp with the check
// that every driver a power IRP visited started the next one, the states
// drivers report with PoSetPowerState, device requests with
// PoRequestPowerIrp, and system transitions sent to every stack.
//
// Windows before Vista lets one power IRP of a kind through to a device at a
// time and holds the next until PoStartNextPowerIrp; a driver that forgets
// the call hangs the next transition there. Here power IRPs are not held
// back (as on Vista and later): a missed call is reported by name when the
// IRP comes back instead of as a hang.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/pnp.h"
#include "kernel/power.h"
#include "kernel/system_irp.h"

namespace vax::kernel {
namespace {

// A driver that received a power IRP through PoCallDriver, and whether it
// has called PoStartNextPowerIrp for it.
struct Visit {
  PDEVICE_OBJECT device;
  bool started_next;
};

struct PowerIrpRecord {
  std::string what;  // "SET_POWER D3"
  std::vector<Visit> visits;
};

struct PowerTables {
  sim::Mutex mutex;
  std::unordered_map<PIRP, PowerIrpRecord> irps;  // IRPs the power manager issued, in flight
  std::unordered_map<PDEVICE_OBJECT, DEVICE_POWER_STATE> device_states;
  std::unordered_map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> system_states;
  SYSTEM_POWER_STATE system = PowerSystemWorking;
  POWER_ACTION action = PowerActionNone;  // of the transition in progress or last made
};

PowerTables& Tables() {
  static PowerTables* tables = new PowerTables;
  return *tables;
}

POWER_ACTION CurrentAction() {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  return Tables().action;
}

// A device request a driver asked for with PoRequestPowerIrp.
struct PowerRequest {
  PDEVICE_OBJECT device;  // as passed to PoRequestPowerIrp; the callback gets it back
  PDEVICE_OBJECT top;     // referenced until the request is done
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE callback;
  PVOID context;
  PDRIVER_OBJECT driver;  // whose callback it is
};

// Runs after every completion routine of the drivers: the originator's
// location is the last one the completion walk reaches.
NTSTATUS NTAPI OnRequestedIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  std::unique_ptr<PowerRequest> request(static_cast<PowerRequest*>(context));
  IO_STATUS_BLOCK status = irp->IoStatus;
  managers::EndPowerIrp(irp);
  if (request->callback != nullptr) {
    DriverScope scope(request->driver);
    request->callback(request->device, request->minor, request->state, request->context, &status);
  }
  {
    DriverScope platform(nullptr);
    IoFreeIrp(irp);
  }
  DereferenceDeviceObject(request->top);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
      return PowerActionSleep;
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdown;
    default:
      return PowerActionNone;
  }
}

NTSTATUS SendSystemPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                            POWER_ACTION action) {
  const NTSTATUS status = managers::SendSystemIrp(
                              pdo, IRP_MJ_POWER, minor, STATUS_NOT_SUPPORTED,
                              [&](PIO_STACK_LOCATION location) {
                                location->Parameters.Power.Type = SystemPowerState;
                                location->Parameters.Power.State.SystemState = state;
                                location->Parameters.Power.ShutdownType = action;
                              },
                              /*power=*/true)
                              .Status;
  if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(status)) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(status));
    ReportViolation(Rule::kOther, std::string("IRP_MN_SET_POWER ") + SystemPowerStateName(state) +
                                      " failed with " + code + " on the stack of PDO " +
                                      io::Hex(pdo) +
                                      ": drivers must not fail a system set-power request");
  }
  return status;
}

void SetSystem(SYSTEM_POWER_STATE state) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().system = state;
  Tables().action = ActionFor(state);
}

}  // namespace

namespace managers {

void BeginPowerIrp(PIRP irp) {
  PowerIrpRecord record;
  record.what = DescribePowerRequest(IoGetNextIrpStackLocation(irp));
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().irps[irp] = std::move(record);
}

void EndPowerIrp(PIRP irp) {
  PowerIrpRecord record;
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    auto found = Tables().irps.find(irp);
    if (found == Tables().irps.end())
      return;
    record = std::move(found->second);
    Tables().irps.erase(found);
  }
  for (const Visit& visit : record.visits) {
    if (!visit.started_next) {
      ReportViolation(Rule::kOther,
                      io::DescribeDevice(visit.device) + " passed on or completed power IRP " +
                          io::Hex(irp) + " (" + record.what +
                          ") without calling PoStartNextPowerIrp: Windows before Vista "
                          "holds the device's next power IRP until it does");
    }
  }
}

void ForgetPowerRecords(PDEVICE_OBJECT device) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().device_states.erase(device);
  Tables().system_states.erase(device);
}

void ResetPower() {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  Tables().irps.clear();
  Tables().device_states.clear();
  Tables().system_states.clear();
  Tables().system = PowerSystemWorking;
  Tables().action = PowerActionNone;
}

}  // namespace managers

// ---------------------------------------------------------------------------
// Services

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    auto found = Tables().irps.find(Irp);
    if (found != Tables().irps.end())
      found->second.visits.push_back({DeviceObject, false});
  }
  return IofCallDriver(DeviceObject, Irp);
}

void NTAPI PoStartNextPowerIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  // The device whose location is current: the call starts the next IRP for
  // that device only, which is why it comes before skipping the location.
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  auto found = Tables().irps.find(Irp);
  if (found == Tables().irps.end())
    return;
  for (Visit& visit : found->second.visits) {
    if (visit.device == device && !visit.started_next) {
      visit.started_next = true;
      return;
    }
  }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  POWER_STATE previous{};
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  if (Type == DevicePowerState) {
    // A device is taken to be in D0 until its driver says otherwise.
    auto [entry, inserted] = Tables().device_states.try_emplace(DeviceObject, PowerDeviceD0);
    previous.DeviceState = entry->second;
    entry->second = State.DeviceState;
  } else {
    auto [entry, inserted] = Tables().system_states.try_emplace(DeviceObject, PowerSystemWorking);
    previous.SystemState = entry->second;
    entry->second = State.SystemState;
  }
  return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (MinorFunction != IRP_MN_WAIT_WAKE &&
      (PowerState.DeviceState < PowerDeviceD0 || PowerState.DeviceState > PowerDeviceD3)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!io::CheckDevice(DeviceObject, "PoRequestPowerIrp"))
    return STATUS_INVALID_PARAMETER_1;
  auto request = std::make_unique<PowerRequest>();
  request->device = DeviceObject;
  request->minor = MinorFunction;
  request->state = PowerState;
  request->callback = CompletionFunction;
  request->context = Context;
  request->driver =
      io::CurrentDriver() != nullptr ? io::CurrentDriver() : io::DeviceDriver(DeviceObject);
  PIRP irp;
  {
    // The power manager owns the IRP, not the driver that asked for it.
    DriverScope platform(nullptr);
    request->top = IoGetAttachedDeviceReference(DeviceObject);
    irp = IoAllocateIrp(request->top->StackSize, FALSE);
  }
  if (irp == nullptr) {
    DereferenceDeviceObject(request->top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  first->MajorFunction = IRP_MJ_POWER;
  first->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    first->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    first->Parameters.Power.Type = DevicePowerState;
    first->Parameters.Power.State = PowerState;
    first->Parameters.Power.ShutdownType = CurrentAction();
  }
  PDEVICE_OBJECT top = request->top;
  IoSetCompletionRoutine(irp, OnRequestedIrpDone, request.release(), TRUE, TRUE, TRUE);
  if (Irp != nullptr)
    *Irp = irp;
  managers::BeginPowerIrp(irp);
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    PoCallDriver(top, irp);
  } else {
    // Pageable drivers take power IRPs at PASSIVE_LEVEL only: a request made
    // at DISPATCH_LEVEL is delivered from a worker thread, as Windows does.
    sim::Scheduler::Current()->Spawn("power-request", 8, [top, irp] { PoCallDriver(top, irp); });
  }
  return STATUS_PENDING;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// System transitions and what tests read

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "SetSystemPowerState");
  if (state < PowerSystemWorking || state > PowerSystemShutdown)
    return STATUS_INVALID_PARAMETER;
  const SYSTEM_POWER_STATE current = CurrentSystemPowerState();
  if (state == current)
    return STATUS_SUCCESS;
  if (state != PowerSystemWorking && current != PowerSystemWorking) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  std::vector<PDEVICE_OBJECT> stacks = PoweredStacks();
  if (state == PowerSystemWorking) {
    SetSystem(PowerSystemWorking);
    for (PDEVICE_OBJECT pdo : stacks) {
      SendSystemPowerIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
    }
    return STATUS_SUCCESS;
  }
  // Devices added later may sit on earlier ones: power down newest first.
  std::reverse(stacks.begin(), stacks.end());
  const POWER_ACTION action = ActionFor(state);
  if (state != PowerSystemShutdown) {
    for (std::size_t i = 0; i < stacks.size(); ++i) {
      const NTSTATUS status = SendSystemPowerIrp(stacks[i], IRP_MN_QUERY_POWER, state, action);
      if (NT_SUCCESS(status))
        continue;
      // Everyone asked may have got ready to sleep: tell them it is off.
      for (std::size_t j = 0; j <= i; ++j) {
        SendSystemPowerIrp(stacks[j], IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
      }
      return status;
    }
  }
  SetSystem(state);
  for (PDEVICE_OBJECT pdo : stacks)
    SendSystemPowerIrp(pdo, IRP_MN_SET_POWER, state, action);
  return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  return Tables().system;
}

std::optional<DEVICE_POWER_STATE> ReportedDevicePowerState(PDEVICE_OBJECT device) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  auto found = Tables().device_states.find(device);
  if (found == Tables().device_states.end())
    return std::nullopt;
  return found->second;
}

const char* SystemPowerStateName(SYSTEM_POWER_STATE state) {
  static const char* const kNames[] = {"Unspecified", "S0", "S1", "S2",
                                       "S3",          "S4", "S5", "Maximum"};
  return state >= 0 && state < static_cast<int>(RTL_NUMBER_OF(kNames)) ? kNames[state] : "?";
}

const char* DevicePowerStateName(DEVICE_POWER_STATE state) {
  static const char* const kNames[] = {"Unspecified", "D0", "D1", "D2", "D3", "Maximum"};
  return state >= 0 && state < static_cast<int>(RTL_NUMBER_OF(kNames)) ? kNames[state] : "?";
}

std::string DescribePowerRequest(const IO_STACK_LOCATION* location) {
  auto state = [location] {
    return location->Parameters.Power.Type == SystemPowerState
               ? SystemPowerStateName(location->Parameters.Power.State.SystemState)
               : DevicePowerStateName(location->Parameters.Power.State.DeviceState);
  };
  switch (location->MinorFunction) {
    case IRP_MN_SET_POWER:
      return std::string("SET_POWER ") + state();
    case IRP_MN_QUERY_POWER:
      return std::string("QUERY_POWER ") + state();
    case IRP_MN_WAIT_WAKE:
      return std::string("WAIT_WAKE ") +
             SystemPowerStateName(location->Parameters.WaitWake.PowerState);
    case IRP_MN_POWER_SEQUENCE:
      return "POWER_SEQUENCE";
    default: {
      char code[8];
      std::snprintf(code, sizeof(code), "0x%02x", location->MinorFunction);
      return code;
    }
  }
}

}  // namespace vax::kernel
