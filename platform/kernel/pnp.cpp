// The Plug and Play manager: one device node per reported PDO, AddDevice and
// start on arrival, the stop and removal negotiations with Windows' state
// rules, surprise removal with the removal deferred to the last handle's
// close, and the system's own requests (IoCallDriver of an IRP it allocated,
// waited for on an event), shared with the power manager and WMI.
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"
#include "kernel/pnp.h"
#include "kernel/system_irp.h"

namespace vax::kernel {
namespace {

struct DeviceNode {
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string hardware_id;
  PDRIVER_OBJECT function_driver = nullptr;  // set from AddDevice to removal
  PnpState state = PnpState::kNoDriver;      // written with both locks held
  bool missing = false;                      // the bus reported it gone
  int open_handles = 0;
  // One PnP operation at a time on this device: a synchronization event
  // used as a lock, so that a second caller waits like any kernel thread.
  KEVENT operation;
};

struct HandleOwner {
  DeviceNode* node = nullptr;
  int count = 0;
};

struct PnpTables {
  sim::Mutex mutex;  // guards everything here; never held across a scheduling point
  std::vector<std::unique_ptr<DeviceNode>> nodes;  // arrival order; kept until reset
  std::unordered_map<PDEVICE_OBJECT, HandleOwner> handles;
};

PnpTables& Tables() {
  static PnpTables* tables = new PnpTables;
  return *tables;
}

// The live node of `pdo` (a deleted PDO's address may come back for a new
// device, so gone nodes never match). Tables().mutex held.
DeviceNode* FindLocked(PDEVICE_OBJECT pdo) {
  for (auto it = Tables().nodes.rbegin(); it != Tables().nodes.rend(); ++it) {
    if ((*it)->pdo == pdo && (*it)->state != PnpState::kGone)
      return it->get();
  }
  return nullptr;
}

DeviceNode* Find(PDEVICE_OBJECT pdo) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  return FindLocked(pdo);
}

PnpState StateOf(const DeviceNode& node) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  return node.state;
}

void SetState(DeviceNode& node, PnpState state) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  node.state = state;
}

int OpenHandles(const DeviceNode& node) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  return node.open_handles;
}

class OperationLock {
 public:
  explicit OperationLock(DeviceNode& node) : node_(node) {
    KeWaitForSingleObject(&node_.operation, Executive, KernelMode, FALSE, nullptr);
  }
  ~OperationLock() { KeSetEvent(&node_.operation, IO_NO_INCREMENT, FALSE); }
  OperationLock(const OperationLock&) = delete;
  OperationLock& operator=(const OperationLock&) = delete;

 private:
  DeviceNode& node_;
};

std::string Describe(const DeviceNode& node) {
  return "device " + Narrow(node.hardware_id) + " (PDO " + io::Hex(node.pdo) + ")";
}

bool IsOneOf(PnpState state, std::initializer_list<PnpState> states) {
  for (PnpState s : states) {
    if (s == state)
      return true;
  }
  return false;
}

// The stack of `pdo`, bottom first.
std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> stack;
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
    stack.push_back(device);
  }
  return stack;
}

// Which request may be sent in which state, and the state it leads to when
// the stack succeeds it.
struct Transition {
  UCHAR minor;
  PnpState from[3];
  int from_count;
  PnpState next;
  bool must_succeed;
};

constexpr Transition kTransitions[] = {
    {IRP_MN_QUERY_STOP_DEVICE, {PnpState::kStarted}, 1, PnpState::kStopPending, false},
    {IRP_MN_CANCEL_STOP_DEVICE, {PnpState::kStopPending}, 1, PnpState::kStarted, true},
    {IRP_MN_STOP_DEVICE, {PnpState::kStopPending}, 1, PnpState::kStopped, true},
    {IRP_MN_START_DEVICE, {PnpState::kStopped}, 1, PnpState::kStarted, false},
    {IRP_MN_QUERY_REMOVE_DEVICE, {PnpState::kStarted}, 1, PnpState::kRemovePending, false},
    {IRP_MN_CANCEL_REMOVE_DEVICE, {PnpState::kRemovePending}, 1, PnpState::kStarted, true},
    {IRP_MN_REMOVE_DEVICE,
     {PnpState::kStarted, PnpState::kStopped, PnpState::kRemovePending},
     3,
     PnpState::kRemoved,
     true},
};

const Transition* FindTransition(UCHAR minor) {
  for (const Transition& t : kTransitions) {
    if (t.minor == minor)
      return &t;
  }
  return nullptr;
}

bool AllowedFrom(const Transition& t, PnpState state) {
  for (int i = 0; i < t.from_count; ++i) {
    if (t.from[i] == state)
      return true;
  }
  return false;
}

IO_STATUS_BLOCK SendPnp(DeviceNode& node, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
  return managers::SendSystemIrp(node.pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED,
                                 [&](PIO_STACK_LOCATION location) {
                                   if (fill)
                                     fill(location);
                                 });
}

void ReportFailedMandatory(const DeviceNode& node, UCHAR minor, NTSTATUS status) {
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(status));
  ReportViolation(Rule::kOther, "IRP_MN_" + PnpMinorName(minor) + " failed with " + code + " on " +
                                    Describe(node) + ": drivers must not fail this request");
}

// IRP_MN_REMOVE_DEVICE, and the checks Windows' verifier makes after it: the
// drivers above the PDO deleted their devices, nothing deleted stayed
// registered with WMI, and a PDO the bus reported gone is gone. Operation
// lock held.
void DeliverRemove(DeviceNode& node) {
  const std::vector<PDEVICE_OBJECT> stack = StackOf(node.pdo);
  // Keep every device's memory until the checks are done, whoever deletes it.
  for (PDEVICE_OBJECT device : stack)
    ReferenceDeviceObject(device);
  const IO_STATUS_BLOCK result = SendPnp(node, IRP_MN_REMOVE_DEVICE);
  if (!NT_SUCCESS(result.Status))
    ReportFailedMandatory(node, IRP_MN_REMOVE_DEVICE, result.Status);
  for (std::size_t i = 1; i < stack.size(); ++i) {
    if (!IsDeviceDeleted(stack[i])) {
      ReportViolation(Rule::kOther, io::DescribeDevice(stack[i]) +
                                        " is still there after IRP_MN_REMOVE_DEVICE of " +
                                        Describe(node) +
                                        ": a driver detaches and deletes its device object when "
                                        "it handles the removal");
    }
  }
  SetState(node, node.missing ? PnpState::kGone : PnpState::kRemoved);
  if (node.missing && !IsDeviceDeleted(node.pdo)) {
    ReportViolation(Rule::kOther, "the bus driver kept its PDO after the removal of " +
                                      Describe(node) + ", which it had reported gone");
  }
  for (PDEVICE_OBJECT device : stack) {
    if (IsDeviceDeleted(device)) {
      managers::ForgetWmiRegistration(device, /*report_if_registered=*/true);
      managers::ForgetPowerRecords(device);
    }
  }
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    node.function_driver = nullptr;
  }
  for (PDEVICE_OBJECT device : stack)
    DereferenceDeviceObject(device);
}

// Sends `minor` with its follow-ups (cancel after a veto, removal after a
// failed start) and moves the node to its next state. The caller holds the
// operation lock and has checked the state.
NTSTATUS Deliver(DeviceNode& node, UCHAR minor) {
  if (minor == IRP_MN_REMOVE_DEVICE) {
    DeliverRemove(node);
    return STATUS_SUCCESS;
  }
  const Transition& t = *FindTransition(minor);
  const NTSTATUS status = SendPnp(node, minor).Status;
  if (NT_SUCCESS(status)) {
    SetState(node, t.next);
    return status;
  }
  if (t.must_succeed) {
    ReportFailedMandatory(node, minor, status);
    SetState(node, t.next);
    return status;
  }
  switch (minor) {
    case IRP_MN_QUERY_STOP_DEVICE:
      Deliver(node, IRP_MN_CANCEL_STOP_DEVICE);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      Deliver(node, IRP_MN_CANCEL_REMOVE_DEVICE);
      break;
    case IRP_MN_START_DEVICE:
      DeliverRemove(node);
      break;
    default:
      break;
  }
  return status;
}

// Runs `body` as one PnP operation on the node of `pdo`; STATUS_NO_SUCH_DEVICE
// for an unknown PDO.
template <typename Body>
NTSTATUS WithNode(PDEVICE_OBJECT pdo, const char* service, Body body) {
  RequireIrqlAtMost(PASSIVE_LEVEL, service);
  DeviceNode* node = Find(pdo);
  if (node == nullptr)
    return STATUS_NO_SUCH_DEVICE;
  OperationLock operation(*node);
  return body(*node);
}

// SendPnpRequest's state check and delivery, operation lock held.
NTSTATUS Step(DeviceNode& node, UCHAR minor) {
  const Transition* t = FindTransition(minor);
  if (t == nullptr || !AllowedFrom(*t, StateOf(node)))
    return STATUS_INVALID_DEVICE_STATE;
  return Deliver(node, minor);
}

NTSTATUS QueryCapabilitiesLocked(DeviceNode& node, DEVICE_CAPABILITIES* capabilities) {
  DEVICE_CAPABILITIES prepared{};
  prepared.Size = sizeof(DEVICE_CAPABILITIES);
  prepared.Version = 1;
  prepared.Address = 0xFFFFFFFF;
  prepared.UINumber = 0xFFFFFFFF;
  const IO_STATUS_BLOCK result =
      SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION location) {
        location->Parameters.DeviceCapabilities.Capabilities = &prepared;
      });
  if (capabilities != nullptr)
    *capabilities = prepared;
  return result.Status;
}

// After AddDevice succeeded: the driver attached a device and let it leave
// its initializing state, as a function driver must.
void CheckAddedStack(const DeviceNode& node, PDRIVER_OBJECT driver) {
  if (node.pdo->AttachedDevice == nullptr) {
    ReportViolation(Rule::kOther, "AddDevice of " + io::DriverLabel(driver) +
                                      " succeeded without attaching a device to " + Describe(node));
  }
  for (PDEVICE_OBJECT device : StackOf(node.pdo)) {
    if (device != node.pdo && (device->Flags & DO_DEVICE_INITIALIZING) != 0) {
      ReportViolation(Rule::kOther, io::DescribeDevice(device) +
                                        " still has DO_DEVICE_INITIALIZING after AddDevice: the "
                                        "driver clears it once the device is set up");
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The system's own requests

namespace managers {
namespace {

struct SystemIrpWaiter {
  KEVENT done;
  IO_STATUS_BLOCK result;
};

NTSTATUS NTAPI OnSystemIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* waiter = static_cast<SystemIrpWaiter*>(context);
  waiter->result = irp->IoStatus;
  KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
  // The IRP is ours again: freed by the sender once its wait ends.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

IO_STATUS_BLOCK SendSystemIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initial,
                              const std::function<void(PIO_STACK_LOCATION)>& fill, bool power) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "a system request");
  DriverScope platform(nullptr);
  IO_STATUS_BLOCK result{};
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  if (top == nullptr) {
    result.Status = STATUS_NO_SUCH_DEVICE;
    return result;
  }
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    DereferenceDeviceObject(top);
    result.Status = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  irp->IoStatus.Status = initial;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  first->MajorFunction = major;
  first->MinorFunction = minor;
  fill(first);
  SystemIrpWaiter waiter{};
  KeInitializeEvent(&waiter.done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, OnSystemIrpDone, &waiter, TRUE, TRUE, TRUE);
  if (power) {
    BeginPowerIrp(irp);
    PoCallDriver(top, irp);
  } else {
    IofCallDriver(top, irp);
  }
  KeWaitForSingleObject(&waiter.done, Executive, KernelMode, FALSE, nullptr);
  if (power)
    EndPowerIrp(irp);
  IoFreeIrp(irp);
  DereferenceDeviceObject(top);
  return waiter.result;
}

void RemoveDevicesServedBy(PDRIVER_OBJECT driver) {
  auto serves = [driver](const DeviceNode& node) {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    return node.function_driver == driver &&
           !IsOneOf(node.state, {PnpState::kRemoved, PnpState::kGone});
  };
  std::vector<DeviceNode*> nodes;
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    for (const auto& node : Tables().nodes)
      nodes.push_back(node.get());
  }
  for (DeviceNode* node : nodes) {
    if (!serves(*node))
      continue;
    OperationLock operation(*node);
    if (serves(*node))
      DeliverRemove(*node);
  }
}

}  // namespace managers

// ---------------------------------------------------------------------------
// The bus side

NTSTATUS ReportDeviceArrival(PDEVICE_OBJECT pdo, std::u16string_view hardware_id) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ReportDeviceArrival");
  DeviceNode* node = nullptr;
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    node = FindLocked(pdo);
    if (node == nullptr) {
      auto created = std::make_unique<DeviceNode>();
      created->pdo = pdo;
      KeInitializeEvent(&created->operation, SynchronizationEvent, TRUE);
      node = created.get();
      Tables().nodes.push_back(std::move(created));
    }
  }
  OperationLock operation(*node);
  if (!IsOneOf(StateOf(*node), {PnpState::kNoDriver, PnpState::kAddFailed, PnpState::kRemoved})) {
    return STATUS_INVALID_DEVICE_STATE;  // already has its driver
  }
  node->hardware_id = hardware_id;
  LoadedDriver* driver = managers::BoundDriver(hardware_id);
  if (driver == nullptr) {
    SetState(*node, PnpState::kNoDriver);
    return STATUS_NOT_FOUND;
  }
  PDRIVER_ADD_DEVICE add_device = driver->object->DriverExtension->AddDevice;
  if (add_device == nullptr) {
    SetState(*node, PnpState::kAddFailed);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS status;
  {
    DriverScope scope(driver->object);
    status = add_device(driver->object, pdo);
  }
  if (!NT_SUCCESS(status)) {
    SetState(*node, PnpState::kAddFailed);
    if (pdo->AttachedDevice != nullptr) {
      ReportViolation(Rule::kOther, "AddDevice of " + io::DriverLabel(driver->object) +
                                        " failed but left " +
                                        io::DescribeDevice(pdo->AttachedDevice) + " attached to " +
                                        Describe(*node));
    }
    return status;
  }
  CheckAddedStack(*node, driver->object);
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    node->function_driver = driver->object;
    node->state = PnpState::kAdded;
  }
  status = Deliver(*node, IRP_MN_START_DEVICE);
  if (NT_SUCCESS(status))
    QueryCapabilitiesLocked(*node, nullptr);
  return status;
}

void ReportDeviceGone(PDEVICE_OBJECT pdo) {
  WithNode(pdo, "ReportDeviceGone", [](DeviceNode& node) {
    {
      std::lock_guard<sim::Mutex> lock(Tables().mutex);
      node.missing = true;
    }
    const PnpState state = StateOf(node);
    if (IsOneOf(state, {PnpState::kStarted, PnpState::kStopPending, PnpState::kStopped,
                        PnpState::kRemovePending})) {
      const NTSTATUS status = SendPnp(node, IRP_MN_SURPRISE_REMOVAL).Status;
      if (!NT_SUCCESS(status))
        ReportFailedMandatory(node, IRP_MN_SURPRISE_REMOVAL, status);
      SetState(node, PnpState::kSurpriseRemoved);
    }
    // Without a started function driver there is nothing to warn: the stack
    // is removed at once. A surprise-removed one waits for its handles.
    if (StateOf(node) != PnpState::kSurpriseRemoved || OpenHandles(node) == 0) {
      DeliverRemove(node);
    }
    return STATUS_SUCCESS;
  });
}

// ---------------------------------------------------------------------------
// States and requests

const char* PnpStateName(PnpState state) {
  switch (state) {
    case PnpState::kNoDriver:
      return "no driver";
    case PnpState::kAddFailed:
      return "AddDevice failed";
    case PnpState::kAdded:
      return "added";
    case PnpState::kStarted:
      return "started";
    case PnpState::kStopPending:
      return "stop pending";
    case PnpState::kStopped:
      return "stopped";
    case PnpState::kRemovePending:
      return "remove pending";
    case PnpState::kSurpriseRemoved:
      return "surprise removed";
    case PnpState::kRemoved:
      return "removed";
    case PnpState::kGone:
      return "gone";
  }
  return "?";
}

PnpState DevicePnpState(PDEVICE_OBJECT pdo) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  DeviceNode* node = FindLocked(pdo);
  return node == nullptr ? PnpState::kGone : node->state;
}

std::string PnpMinorName(UCHAR minor) {
  static const char* const kNames[] = {
      "START_DEVICE",
      "QUERY_REMOVE_DEVICE",
      "REMOVE_DEVICE",
      "CANCEL_REMOVE_DEVICE",
      "STOP_DEVICE",
      "QUERY_STOP_DEVICE",
      "CANCEL_STOP_DEVICE",
      "QUERY_DEVICE_RELATIONS",
      "QUERY_INTERFACE",
      "QUERY_CAPABILITIES",
      "QUERY_RESOURCES",
      "QUERY_RESOURCE_REQUIREMENTS",
      "QUERY_DEVICE_TEXT",
      "FILTER_RESOURCE_REQUIREMENTS",
      nullptr,
      "READ_CONFIG",
      "WRITE_CONFIG",
      "EJECT",
      "SET_LOCK",
      "QUERY_ID",
      "QUERY_PNP_DEVICE_STATE",
      "QUERY_BUS_INFORMATION",
      "DEVICE_USAGE_NOTIFICATION",
      "SURPRISE_REMOVAL",
  };
  if (minor < RTL_NUMBER_OF(kNames) && kNames[minor] != nullptr)
    return kNames[minor];
  char code[8];
  std::snprintf(code, sizeof(code), "0x%02x", minor);
  return code;
}

NTSTATUS SendPnpRequest(PDEVICE_OBJECT pdo, UCHAR minor) {
  return WithNode(pdo, "SendPnpRequest", [minor](DeviceNode& node) { return Step(node, minor); });
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) {
  return WithNode(pdo, "RemoveDevice", [](DeviceNode& node) {
    const NTSTATUS status = Step(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status))
      Deliver(node, IRP_MN_REMOVE_DEVICE);
    return status;
  });
}

NTSTATUS QueryRemoveThenCancel(PDEVICE_OBJECT pdo) {
  return WithNode(pdo, "QueryRemoveThenCancel", [](DeviceNode& node) {
    const NTSTATUS status = Step(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status))
      Deliver(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  });
}

NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo) {
  return WithNode(pdo, "RebalanceDevice", [](DeviceNode& node) {
    NTSTATUS status = Step(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status))
      return status;
    Deliver(node, IRP_MN_STOP_DEVICE);
    return Deliver(node, IRP_MN_START_DEVICE);
  });
}

NTSTATUS QueryStopThenCancel(PDEVICE_OBJECT pdo) {
  return WithNode(pdo, "QueryStopThenCancel", [](DeviceNode& node) {
    const NTSTATUS status = Step(node, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status))
      Deliver(node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  });
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
  return WithNode(pdo, "QueryCapabilities", [capabilities](DeviceNode& node) {
    return QueryCapabilitiesLocked(node, capabilities);
  });
}

// ---------------------------------------------------------------------------
// Open handles

void NoteHandleOpened(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = device;
  while (PDEVICE_OBJECT lower = LowerDevice(bottom))
    bottom = lower;
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  DeviceNode* node = FindLocked(bottom);
  if (node == nullptr)
    return;
  HandleOwner& owner = Tables().handles[device];
  owner.node = node;
  ++owner.count;
  ++node->open_handles;
}

void NoteHandleClosed(PDEVICE_OBJECT device) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "NoteHandleClosed");
  DeviceNode* node = nullptr;
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    auto found = Tables().handles.find(device);
    if (found == Tables().handles.end())
      return;
    node = found->second.node;
    if (--found->second.count == 0)
      Tables().handles.erase(found);
    --node->open_handles;
    if (node->open_handles != 0 || node->state != PnpState::kSurpriseRemoved)
      return;
  }
  OperationLock operation(*node);
  if (StateOf(*node) == PnpState::kSurpriseRemoved && OpenHandles(*node) == 0) {
    DeliverRemove(*node);
  }
}

int OpenHandleCount(PDEVICE_OBJECT pdo) {
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  DeviceNode* node = FindLocked(pdo);
  return node == nullptr ? 0 : node->open_handles;
}

// ---------------------------------------------------------------------------
// For the platform's managers

std::vector<PDEVICE_OBJECT> PoweredStacks() {
  std::vector<PDEVICE_OBJECT> stacks;
  std::lock_guard<sim::Mutex> lock(Tables().mutex);
  for (const auto& node : Tables().nodes) {
    if (IsOneOf(node->state, {PnpState::kStarted, PnpState::kStopPending, PnpState::kStopped,
                              PnpState::kRemovePending})) {
      stacks.push_back(node->pdo);
    }
  }
  return stacks;
}

void ResetPlugAndPlay() {
  {
    std::lock_guard<sim::Mutex> lock(Tables().mutex);
    Tables().nodes.clear();
    Tables().handles.clear();
  }
  managers::ResetLoader();
  managers::ResetPower();
  managers::ResetWmi();
  managers::ResetRootBus();
}

}  // namespace vax::kernel
