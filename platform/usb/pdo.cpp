// The bus driver's side of each device's PDO: the hub's internal I/O
// controls, and Plug and Play, power and WMI requests answered as the last
// driver of the stack answers them.
#include "kernel/internal.h"
#include "usb/bus.h"

namespace vax::usb {
namespace {

// Pool tag of what the hub allocates for the PnP manager: "UHub".
// Longest a removal waits for the device's last completions; they are due
// at once, so only a controller thread that cannot run takes this long.
constexpr int kRemoveDrainMs = 1000;

constexpr ULONG kHubTag = 'U' | 'H' << 8 | 'u' << 16 | static_cast<ULONG>('b') << 24;

DeviceState* DeviceOf(PDEVICE_OBJECT pdo) {
  return static_cast<PdoExtension*>(pdo->DeviceExtension)->device;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

const char* IoctlName(ULONG code) {
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return "IOCTL_INTERNAL_USB_SUBMIT_URB";
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return "IOCTL_INTERNAL_USB_RESET_PORT";
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      return "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return "IOCTL_INTERNAL_USB_CYCLE_PORT";
  }
  return "an internal device control of the USB hub";
}

NTSTATUS GetPortStatus(DeviceState* device, PIRP irp, ULONG* port_status) {
  HostController::Impl* hc = device->hc;
  if (port_status == nullptr) {
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<sim::Mutex> lock(hc->mu);
    if (device->connected) {
      *port_status = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    } else if (hc->options.port_status_after_unplug == GonePortStatus::kReportNotConnected) {
      *port_status = 0;
    } else {
      status = STATUS_DEVICE_NOT_CONNECTED;
    }
  }
  irp->IoStatus.Information = 0;
  return Complete(irp, status);
}

// The reset runs on the controller thread over the next frames; the request
// pends until the configuration is back.
NTSTATUS ResetPort(DeviceState* device, PIRP irp) {
  HostController::Impl* hc = device->hc;
  Outcome gone;
  bool present;
  {
    std::lock_guard<sim::Mutex> lock(hc->mu);
    present = device->connected && !device->removed;
    gone = OutcomeOf(hc->options.submitted_after_unplug);
  }
  irp->IoStatus.Information = 0;
  if (!present)
    return Complete(irp, gone.nt);
  auto transfer = std::make_unique<Transfer>();
  transfer->irp = irp;
  transfer->device = device;
  transfer->kind = TransferKind::kPortReset;
  transfer->cancelable = false;
  return hc->Enqueue(std::move(transfer));
}

}  // namespace

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  DeviceState* device = DeviceOf(pdo);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  kernel::CheckNoSpinLockHeld(IoctlName(code));
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return device->hc->SubmitUrb(device, irp,
                                   static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
      return GetPortStatus(device, irp, static_cast<ULONG*>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_RESET_PORT");
      return ResetPort(device, irp);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      irp->IoStatus.Information = 0;
      return Complete(irp, STATUS_NOT_SUPPORTED);
    default:
      irp->IoStatus.Information = 0;
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  DeviceState* device = DeviceOf(pdo);
  HostController::Impl* hc = device->hc;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      std::lock_guard<sim::Mutex> lock(hc->mu);
      device->removed = false;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      break;

    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities == nullptr || capabilities->Version < 1 ||
          capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
      }
      const USHORT size = capabilities->Size;
      const USHORT version = capabilities->Version;
      {
        std::lock_guard<sim::Mutex> lock(hc->mu);
        *capabilities = device->capabilities;
      }
      capabilities->Size = size;
      capabilities->Version = version;
      capabilities->Address = static_cast<ULONG>(device->port);
      capabilities->UINumber = static_cast<ULONG>(device->port);
      break;
    }

    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (location->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return Complete(irp, irp->IoStatus.Status);
      }
      auto* relations = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kHubTag));
      if (relations == nullptr)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      ObReferenceObject(pdo);
      relations->Count = 1;
      relations->Objects[0] = pdo;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      break;
    }

    case IRP_MN_REMOVE_DEVICE: {
      // Whatever the function driver left pending ends here; a device still
      // on the bus keeps its PDO (it may be started again), one that left
      // takes it along.
      bool unplugged;
      {
        std::lock_guard<sim::Mutex> lock(hc->mu);
        hc->AbortDeviceLocked(device, OutcomeOf(USBD_STATUS_CANCELED), true);
        for (auto& pipe : device->pipes)
          pipe->current = false;
        device->configuration_value = 0;
        device->removed = true;
        device->power = PowerDeviceD3;
        unplugged = !device->connected;
        if (unplugged)
          device->pdo = nullptr;
      }
      hc->Wake();
      // Like the hub, finish every request of the device before the removal
      // completes: a driver deletes its device object right after.
      for (int waited = 0; hc->PendingFor(device) != 0 && waited < kRemoveDrainMs; ++waited) {
        LARGE_INTEGER delay;
        delay.QuadPart = -sim::kTicksPerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
      }
      Complete(irp, STATUS_SUCCESS);
      if (unplugged)
        IoDeleteDevice(pdo);
      return STATUS_SUCCESS;
    }

    default:
      return Complete(irp, irp->IoStatus.Status);
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
  DeviceState* device = DeviceOf(pdo);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (location->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (location->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(pdo, DevicePowerState, location->Parameters.Power.State);
        std::lock_guard<sim::Mutex> lock(device->hc->mu);
        device->power = location->Parameters.Power.State.DeviceState;
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE:
      // The capabilities promise no wake.
      status = STATUS_NOT_SUPPORTED;
      break;
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
  // The hub registers no WMI blocks for its children.
  return Complete(irp, irp->IoStatus.Status);
}

}  // namespace vax::usb
