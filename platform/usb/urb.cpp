// IOCTL_INTERNAL_USB_SUBMIT_URB: each URB function checked and turned into a
// transfer for the controller, or served at once (abort, host-side reset).
// A URB the stack refuses completes in the caller's thread with its status;
// one it accepts pends until the controller completes it.
#include <cstddef>
#include <optional>

#include "kernel/internal.h"
#include "usb/bus.h"

namespace vax::usb {
namespace {

enum class Form {
  kSelectConfiguration,
  kAbortPipe,
  kResetPipe,
  kControlTransfer,
  kBulkOrInterrupt,
  kDescriptor,
  kFeature,
  kStatus,
  kVendorOrClass,
};

// bmRequestType parts.
constexpr UCHAR kDirIn = 0x80;
constexpr UCHAR kTypeClass = 0x20;
constexpr UCHAR kTypeVendor = 0x40;
constexpr UCHAR kToDevice = 0x00;
constexpr UCHAR kToInterface = 0x01;
constexpr UCHAR kToEndpoint = 0x02;
constexpr UCHAR kToOther = 0x03;

struct FunctionInfo {
  USHORT function;
  const char* name;
  Form form;
  std::size_t size;    // smallest Hdr.Length the form needs
  UCHAR request_type;  // type and recipient; the direction is added per URB
  UCHAR request;       // the standard request the function implies
  bool reset_host;     // reset forms: the host side of the pipe
  bool clear_device;   // reset forms: CLEAR_FEATURE(ENDPOINT_HALT) to the device
};

#define URB_ENTRY(function, form, type, type_bits, request, reset, clear)                  \
  FunctionInfo {                                                                           \
    function, #function, Form::form, sizeof(struct type), type_bits, request, reset, clear \
  }

const FunctionInfo kFunctions[] = {
    FunctionInfo{URB_FUNCTION_SELECT_CONFIGURATION, "URB_FUNCTION_SELECT_CONFIGURATION",
                 Form::kSelectConfiguration, offsetof(struct _URB_SELECT_CONFIGURATION, Interface),
                 0, USB_REQUEST_SET_CONFIGURATION, false, false},
    URB_ENTRY(URB_FUNCTION_ABORT_PIPE, kAbortPipe, _URB_PIPE_REQUEST, 0, 0, false, false),
    URB_ENTRY(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kResetPipe, _URB_PIPE_REQUEST,
              kToEndpoint, USB_REQUEST_CLEAR_FEATURE, true, true),
    URB_ENTRY(URB_FUNCTION_SYNC_RESET_PIPE, kResetPipe, _URB_PIPE_REQUEST, 0, 0, true, false),
    URB_ENTRY(URB_FUNCTION_SYNC_CLEAR_STALL, kResetPipe, _URB_PIPE_REQUEST, kToEndpoint,
              USB_REQUEST_CLEAR_FEATURE, false, true),
    URB_ENTRY(URB_FUNCTION_CONTROL_TRANSFER, kControlTransfer, _URB_CONTROL_TRANSFER, 0, 0, false,
              false),
    URB_ENTRY(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, kBulkOrInterrupt,
              _URB_BULK_OR_INTERRUPT_TRANSFER, 0, 0, false, false),
    URB_ENTRY(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDescriptor, _URB_CONTROL_DESCRIPTOR_REQUEST,
              kDirIn | kToDevice, USB_REQUEST_GET_DESCRIPTOR, false, false),
    URB_ENTRY(URB_FUNCTION_SET_FEATURE_TO_DEVICE, kFeature, _URB_CONTROL_FEATURE_REQUEST, kToDevice,
              USB_REQUEST_SET_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_SET_FEATURE_TO_INTERFACE, kFeature, _URB_CONTROL_FEATURE_REQUEST,
              kToInterface, USB_REQUEST_SET_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, kFeature, _URB_CONTROL_FEATURE_REQUEST,
              kToEndpoint, USB_REQUEST_SET_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_SET_FEATURE_TO_OTHER, kFeature, _URB_CONTROL_FEATURE_REQUEST, kToOther,
              USB_REQUEST_SET_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, kFeature, _URB_CONTROL_FEATURE_REQUEST,
              kToDevice, USB_REQUEST_CLEAR_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, kFeature, _URB_CONTROL_FEATURE_REQUEST,
              kToInterface, USB_REQUEST_CLEAR_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, kFeature, _URB_CONTROL_FEATURE_REQUEST,
              kToEndpoint, USB_REQUEST_CLEAR_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, kFeature, _URB_CONTROL_FEATURE_REQUEST, kToOther,
              USB_REQUEST_CLEAR_FEATURE, false, false),
    URB_ENTRY(URB_FUNCTION_GET_STATUS_FROM_DEVICE, kStatus, _URB_CONTROL_GET_STATUS_REQUEST,
              kDirIn | kToDevice, USB_REQUEST_GET_STATUS, false, false),
    URB_ENTRY(URB_FUNCTION_GET_STATUS_FROM_INTERFACE, kStatus, _URB_CONTROL_GET_STATUS_REQUEST,
              kDirIn | kToInterface, USB_REQUEST_GET_STATUS, false, false),
    URB_ENTRY(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, kStatus, _URB_CONTROL_GET_STATUS_REQUEST,
              kDirIn | kToEndpoint, USB_REQUEST_GET_STATUS, false, false),
    URB_ENTRY(URB_FUNCTION_GET_STATUS_FROM_OTHER, kStatus, _URB_CONTROL_GET_STATUS_REQUEST,
              kDirIn | kToOther, USB_REQUEST_GET_STATUS, false, false),
    URB_ENTRY(URB_FUNCTION_VENDOR_DEVICE, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeVendor | kToDevice, 0, false, false),
    URB_ENTRY(URB_FUNCTION_VENDOR_INTERFACE, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeVendor | kToInterface, 0, false, false),
    URB_ENTRY(URB_FUNCTION_VENDOR_ENDPOINT, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeVendor | kToEndpoint, 0, false, false),
    URB_ENTRY(URB_FUNCTION_VENDOR_OTHER, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeVendor | kToOther, 0, false, false),
    URB_ENTRY(URB_FUNCTION_CLASS_DEVICE, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeClass | kToDevice, 0, false, false),
    URB_ENTRY(URB_FUNCTION_CLASS_INTERFACE, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeClass | kToInterface, 0, false, false),
    URB_ENTRY(URB_FUNCTION_CLASS_ENDPOINT, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeClass | kToEndpoint, 0, false, false),
    URB_ENTRY(URB_FUNCTION_CLASS_OTHER, kVendorOrClass, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
              kTypeClass | kToOther, 0, false, false),
};

#undef URB_ENTRY

const FunctionInfo* FindFunction(USHORT function) {
  for (const FunctionInfo& info : kFunctions) {
    if (info.function == function)
      return &info;
  }
  return nullptr;
}

// The transfer buffer: the virtual address if given, else the MDL's.
UCHAR* BufferOf(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr)
    return static_cast<UCHAR*>(buffer);
  if (mdl == nullptr)
    return nullptr;
  if (mdl->MappedSystemVa != nullptr)
    return static_cast<UCHAR*>(mdl->MappedSystemVa);
  return static_cast<UCHAR*>(mdl->StartVa) + mdl->ByteOffset;
}

// A pipe handle is the address of one of the device's pipes.
Pipe* FindPipe(DeviceState* device, USBD_PIPE_HANDLE handle) {
  if (handle == nullptr)
    return nullptr;
  for (auto& pipe : device->pipes) {
    if (pipe.get() == handle)
      return pipe.get();
  }
  return nullptr;
}

// The interface descriptor's endpoint descriptors: those after it up to the
// next interface descriptor, within the set.
bool EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR interface,
                 std::vector<USB_ENDPOINT_DESCRIPTOR>* endpoints) {
  const UCHAR* end = reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
  const UCHAR* at = reinterpret_cast<const UCHAR*>(interface) + interface->bLength;
  while (endpoints->size() < interface->bNumEndpoints && at + 2 <= end) {
    const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
    if (common->bLength < 2 || at + common->bLength > end)
      return false;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
      break;
    if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (common->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR))
        return false;
      USB_ENDPOINT_DESCRIPTOR endpoint;
      __builtin_memcpy(&endpoint, at, sizeof(endpoint));
      endpoints->push_back(endpoint);
    }
    at += common->bLength;
  }
  return endpoints->size() == interface->bNumEndpoints;
}

}  // namespace

NTSTATUS HostController::Impl::SubmitUrb(DeviceState* device, PIRP irp, PURB urb) {
  if (urb == nullptr) {
    CompleteNow(irp, nullptr, OutcomeOf(USBD_STATUS_INVALID_PARAMETER));
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<sim::Mutex> lock(mu);
    ++stats.urbs_submitted;
  }
  auto refuse = [&](USBD_STATUS status) {
    const Outcome outcome = OutcomeOf(status);
    CompleteNow(irp, urb, outcome);
    return outcome.nt;
  };
  const FunctionInfo* info = FindFunction(urb->UrbHeader.Function);
  if (info == nullptr)
    return refuse(USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb->UrbHeader.Length < info->size)
    return refuse(USBD_STATUS_INVALID_PARAMETER);
  if (info->form == Form::kSelectConfiguration || info->form == Form::kResetPipe) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, info->name);
  }

  std::optional<Outcome> gone;
  {
    std::lock_guard<sim::Mutex> lock(mu);
    if (!device->connected || device->removed)
      gone = OutcomeOf(options.submitted_after_unplug);
  }
  if (gone) {
    CompleteNow(irp, urb, *gone);
    return gone->nt;
  }

  auto transfer = std::make_unique<Transfer>();
  transfer->irp = irp;
  transfer->urb = urb;
  transfer->device = device;
  transfer->kind = TransferKind::kControl;
  transfer->short_ok = true;
  SetupPacket& setup = transfer->setup;

  switch (info->form) {
    case Form::kSelectConfiguration: {
      transfer->kind = TransferKind::kSetConfiguration;
      PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      if (config != nullptr) {
        if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            config->wTotalLength < config->bLength) {
          return refuse(USBD_STATUS_INVALID_PARAMETER);
        }
        // The interface entries fill the URB up to its Length.
        std::size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        const std::size_t entry_head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        while (offset + entry_head <= urb->UrbHeader.Length) {
          auto* entry =
              reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
          if (entry->Length < entry_head || offset + entry->Length > urb->UrbHeader.Length) {
            return refuse(USBD_STATUS_INVALID_PARAMETER);
          }
          PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
              config, config, entry->InterfaceNumber, entry->AlternateSetting, -1, -1, -1);
          if (interface == nullptr)
            return refuse(USBD_STATUS_INTERFACE_NOT_FOUND);
          InterfacePlan plan;
          plan.info = entry;
          plan.descriptor = *interface;
          if (!EndpointsOf(config, interface, &plan.endpoints)) {
            return refuse(USBD_STATUS_INVALID_PARAMETER);
          }
          if (!plan.endpoints.empty() &&
              entry->Length < GET_USBD_INTERFACE_SIZE(plan.endpoints.size())) {
            return refuse(USBD_STATUS_BUFFER_TOO_SMALL);
          }
          transfer->plans.push_back(std::move(plan));
          offset += entry->Length;
        }
        if (transfer->plans.empty())
          return refuse(USBD_STATUS_INVALID_PARAMETER);
        transfer->configuration_value = config->bConfigurationValue;
      }
      setup = SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, transfer->configuration_value, 0, 0};
      break;
    }

    case Form::kAbortPipe: {
      Pipe* pipe = nullptr;
      {
        std::lock_guard<sim::Mutex> lock(mu);
        pipe = FindPipe(device, urb->UrbPipeRequest.PipeHandle);
        if (pipe != nullptr && pipe->current) {
          AbortPipeLocked(pipe, OutcomeOf(USBD_STATUS_CANCELED));
        }
      }
      if (pipe == nullptr || !pipe->current)
        return refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
      Wake();
      // The aborted transfers complete from the controller, possibly after
      // this request: a driver may not assume they are done when it returns.
      return refuse(USBD_STATUS_SUCCESS);
    }

    case Form::kResetPipe: {
      Pipe* pipe = nullptr;
      {
        std::lock_guard<sim::Mutex> lock(mu);
        pipe = FindPipe(device, urb->UrbPipeRequest.PipeHandle);
        if (pipe != nullptr && pipe->current && !info->clear_device) {
          pipe->halted = false;
          pipe->waiting_activity = false;
        }
      }
      if (pipe == nullptr || !pipe->current)
        return refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
      if (!info->clear_device) {
        Wake();
        return refuse(USBD_STATUS_SUCCESS);
      }
      transfer->kind = TransferKind::kClearHalt;
      transfer->pipe = pipe;
      transfer->reset_host = info->reset_host;
      transfer->clear_device = true;
      setup = SetupPacket{kToEndpoint, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL,
                          pipe->endpoint, 0};
      break;
    }

    case Form::kControlTransfer: {
      _URB_CONTROL_TRANSFER& control = urb->UrbControlTransfer;
      if ((control.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) == 0) {
        // The default pipe is the only control pipe a device of ours has.
        std::lock_guard<sim::Mutex> lock(mu);
        Pipe* pipe = FindPipe(device, control.PipeHandle);
        if (pipe == nullptr || !pipe->current) {
          return refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        return refuse(USBD_STATUS_INVALID_PARAMETER);
      }
      const UCHAR* raw = control.SetupPacket;
      transfer->in = USBD_TRANSFER_DIRECTION(control.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
      transfer->short_ok = (control.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      transfer->length = control.TransferBufferLength;
      transfer->buffer = BufferOf(control.TransferBuffer, control.TransferBufferMDL);
      transfer->length_field = &control.TransferBufferLength;
      setup =
          SetupPacket{static_cast<std::uint8_t>((raw[0] & ~kDirIn) | (transfer->in ? kDirIn : 0)),
                      raw[1], static_cast<std::uint16_t>(raw[2] | raw[3] << 8),
                      static_cast<std::uint16_t>(raw[4] | raw[5] << 8),
                      static_cast<std::uint16_t>(transfer->length)};
      // The hub owns device addresses.
      if ((setup.bmRequestType & 0x60) == 0 && setup.bRequest == USB_REQUEST_SET_ADDRESS) {
        return refuse(USBD_STATUS_INVALID_PARAMETER);
      }
      break;
    }

    case Form::kBulkOrInterrupt: {
      _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
      Pipe* pipe = nullptr;
      {
        std::lock_guard<sim::Mutex> lock(mu);
        pipe = FindPipe(device, bulk.PipeHandle);
      }
      if (pipe == nullptr || !pipe->current)
        return refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
      if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) {
        return refuse(USBD_STATUS_INVALID_PARAMETER);
      }
      transfer->kind = TransferKind::kData;
      transfer->pipe = pipe;
      transfer->in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint) != 0;
      transfer->short_ok = (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      transfer->length = bulk.TransferBufferLength;
      transfer->buffer = BufferOf(bulk.TransferBuffer, bulk.TransferBufferMDL);
      transfer->length_field = &bulk.TransferBufferLength;
      if (transfer->length > pipe->max_transfer)
        return refuse(USBD_STATUS_INVALID_PARAMETER);
      break;
    }

    case Form::kDescriptor: {
      _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
      transfer->in = true;
      transfer->length = request.TransferBufferLength;
      transfer->buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
      transfer->length_field = &request.TransferBufferLength;
      setup = SetupPacket{info->request_type, info->request,
                          static_cast<std::uint16_t>(request.DescriptorType << 8 | request.Index),
                          request.LanguageId, static_cast<std::uint16_t>(transfer->length)};
      break;
    }

    case Form::kFeature: {
      _URB_CONTROL_FEATURE_REQUEST& request = urb->UrbControlFeatureRequest;
      setup =
          SetupPacket{info->request_type, info->request, request.FeatureSelector, request.Index, 0};
      break;
    }

    case Form::kStatus: {
      _URB_CONTROL_GET_STATUS_REQUEST& request = urb->UrbControlGetStatusRequest;
      transfer->in = true;
      transfer->length = request.TransferBufferLength;
      transfer->buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
      transfer->length_field = &request.TransferBufferLength;
      setup = SetupPacket{info->request_type, info->request, 0, request.Index,
                          static_cast<std::uint16_t>(transfer->length)};
      break;
    }

    case Form::kVendorOrClass: {
      _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb->UrbControlVendorClassRequest;
      transfer->in = USBD_TRANSFER_DIRECTION(request.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
      transfer->short_ok = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      transfer->length = request.TransferBufferLength;
      transfer->buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
      transfer->length_field = &request.TransferBufferLength;
      setup =
          SetupPacket{static_cast<std::uint8_t>((transfer->in ? kDirIn : 0) | info->request_type |
                                                request.RequestTypeReservedBits),
                      request.Request, request.Value, request.Index,
                      static_cast<std::uint16_t>(transfer->length)};
      break;
    }
  }

  if (transfer->length > 0xFFFF && transfer->kind != TransferKind::kData) {
    return refuse(USBD_STATUS_INVALID_PARAMETER);
  }
  if (transfer->length != 0 && transfer->buffer == nullptr) {
    return refuse(USBD_STATUS_INVALID_PARAMETER);
  }
  const std::uint8_t endpoint =
      transfer->kind == TransferKind::kData ? transfer->pipe->endpoint : 0;
  transfer->forced = device->faults.state_->TakeFailure(endpoint);
  transfer->held = device->faults.state_->TakeHold(endpoint);
  return Enqueue(std::move(transfer));
}

NTSTATUS HostController::Impl::Enqueue(std::unique_ptr<Transfer> owned) {
  Transfer* transfer = owned.get();
  PIRP irp = transfer->irp;
  DeviceState* device = transfer->device;
  if (transfer->urb != nullptr)
    transfer->urb->UrbHeader.Status = USBD_STATUS_PENDING;
  transfer->capture_id = CaptureSubmit(*transfer);
  IoMarkIrpPending(irp);
  if (transfer->cancelable) {
    IoSetCancelRoutine(irp, CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      // Cancelled before it was queued: it never reaches the bus.
      transfer->outcome = OutcomeOf(USBD_STATUS_CANCELED);
      CaptureComplete(*transfer);
      CompleteNow(irp, transfer->urb, transfer->outcome);
      return STATUS_PENDING;
    }
  }
  {
    std::lock_guard<sim::Mutex> lock(mu);
    pending[irp] = std::move(owned);
    switch (transfer->kind) {
      case TransferKind::kData:
        transfer->pipe->queue.push_back(transfer);
        break;
      case TransferKind::kPortReset:
        device->port_resets.push_back(transfer);
        break;
      default:
        device->control.push_back(transfer);
        break;
    }
    if (orphan_cancels.erase(irp) != 0) {
      FinishLocked(transfer, OutcomeOf(USBD_STATUS_CANCELED));
    } else if (!device->connected) {
      FinishLocked(transfer, OutcomeOf(options.submitted_after_unplug));
    } else if (transfer->kind == TransferKind::kData && !transfer->pipe->current) {
      FinishLocked(transfer, OutcomeOf(USBD_STATUS_INVALID_PIPE_HANDLE));
    } else if (transfer->kind == TransferKind::kData && transfer->pipe->halted) {
      // A halted endpoint refuses everything until its pipe is reset.
      FinishLocked(transfer, OutcomeOf(USBD_STATUS_ENDPOINT_HALTED));
    }
  }
  Wake();
  return STATUS_PENDING;
}

// Runs with the cancel spin lock held and looks at the transfer before
// releasing it, so that Deliver, which waits for that lock when it lost the
// cancel routine, never frees an IRP this routine is still looking for.
void NTAPI HostController::Impl::CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp) {
  DeviceState* device = static_cast<PdoExtension*>(pdo->DeviceExtension)->device;
  Impl* hc = device->hc;
  const KIRQL irql = irp->CancelIrql;
  bool wake = false;
  {
    std::lock_guard<sim::Mutex> lock(hc->mu);
    auto found = hc->pending.find(irp);
    if (found == hc->pending.end()) {
      hc->orphan_cancels.insert(irp);
    } else {
      Transfer* transfer = found->second.get();
      if (transfer->state == TransferState::kQueued) {
        hc->FinishLocked(transfer, OutcomeOf(USBD_STATUS_CANCELED));
        wake = true;
      } else if (transfer->state == TransferState::kInFlight) {
        transfer->abort = OutcomeOf(USBD_STATUS_CANCELED);
      }
    }
  }
  IoReleaseCancelSpinLock(irql);
  if (wake)
    hc->Wake();
}

// The device accepted SET_CONFIGURATION: the old pipes go (their transfers
// cancelled), the new ones are made and the caller's URB gets the handles.
void HostController::Impl::InstallConfigurationLocked(Transfer* transfer) {
  DeviceState* device = transfer->device;
  for (auto& pipe : device->pipes) {
    if (!pipe->current)
      continue;
    pipe->current = false;
    AbortPipeLocked(pipe.get(), OutcomeOf(USBD_STATUS_CANCELED));
  }
  device->configuration_value = transfer->configuration_value;
  _URB_SELECT_CONFIGURATION& select = transfer->urb->UrbSelectConfiguration;
  if (transfer->plans.empty()) {
    select.ConfigurationHandle = nullptr;
    return;
  }
  auto handles = std::make_unique<std::uint8_t[]>(1 + transfer->plans.size());
  select.ConfigurationHandle = handles.get();
  for (std::size_t i = 0; i < transfer->plans.size(); ++i) {
    const InterfacePlan& plan = transfer->plans[i];
    PUSBD_INTERFACE_INFORMATION info = plan.info;
    info->InterfaceHandle = handles.get() + 1 + i;
    info->Class = plan.descriptor.bInterfaceClass;
    info->SubClass = plan.descriptor.bInterfaceSubClass;
    info->Protocol = plan.descriptor.bInterfaceProtocol;
    info->NumberOfPipes = static_cast<ULONG>(plan.endpoints.size());
    for (std::size_t j = 0; j < plan.endpoints.size(); ++j) {
      const USB_ENDPOINT_DESCRIPTOR& endpoint = plan.endpoints[j];
      USBD_PIPE_INFORMATION& out = info->Pipes[j];
      auto pipe = std::make_unique<Pipe>();
      pipe->device = device;
      pipe->endpoint = endpoint.bEndpointAddress;
      pipe->type = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe->max_packet = static_cast<USHORT>(endpoint.wMaxPacketSize & 0x7FF);
      pipe->interval = endpoint.bInterval;
      pipe->max_transfer = out.MaximumTransferSize;
      pipe->current = true;
      out.MaximumPacketSize = pipe->max_packet;
      out.EndpointAddress = pipe->endpoint;
      out.Interval = pipe->interval;
      out.PipeType = pipe->type;
      out.PipeHandle = pipe.get();
      device->pipes.push_back(std::move(pipe));
    }
  }
  device->handles.push_back(std::move(handles));
}

}  // namespace vax::usb
