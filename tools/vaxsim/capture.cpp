// vaxsim capture: a QZ719 on the simulated bus, spoken to in URBs with no
// driver in between, every URB written to a usbmon pcap file.
#include "vaxsim/capture.h"

#include <cstdio>
#include <vector>

#include "hardware/line/cables.h"
#include "hardware/qz719/line_registers.h"
#include "hardware/qz719/qz719_chip.h"
#include "hardware/qz719/qz719_protocol.h"
#include "nt/usb.h"
#include "usb/host_controller.h"
#include "usb/usb_requests.h"
#include "world/world.h"

namespace vax::tools {
namespace {

using namespace vax::hw::qz719;

// 6 MHz over 52: the nearest the chip comes to 115,200 bit/s.
constexpr std::uint8_t kPrescaler115200 = 3;
constexpr std::uint8_t kDivisor115200 = 256 - 52;
// Bytes sent out and expected back through the loopback plug.
constexpr char kMessage[] =
    "vaxsim capture: bytes out through bulk OUT, back through the loopback plug and bulk IN.";
// How long the bytes may take to come back, in virtual time.
constexpr sim::Ticks kEchoDeadline = 500 * sim::kTicksPerMs;

class Session {
 public:
  Session(PDEVICE_OBJECT pdo, std::uint8_t generation)
      : pdo_(pdo), traits_(TraitsFor(generation)) {}

  bool ok() const { return ok_; }

  void Check(bool good, const char* what) {
    if (!good) {
      std::fprintf(stderr, "vaxsim capture: %s failed\n", what);
      ok_ = false;
    }
  }

  NTSTATUS Submit(URB* urb, const char* what) {
    const NTSTATUS status = usb::SubmitUrb(pdo_, urb);
    if (!NT_SUCCESS(status)) {
      std::fprintf(stderr, "vaxsim capture: %s: status 0x%08X, URB status 0x%08X\n", what,
                   static_cast<unsigned>(status), static_cast<unsigned>(urb->UrbHeader.Status));
      ok_ = false;
    }
    return status;
  }

  std::vector<std::uint8_t> Descriptor(UCHAR type, ULONG length) {
    std::vector<std::uint8_t> buffer(length);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer.data(), nullptr, length, nullptr);
    if (!NT_SUCCESS(Submit(&urb, "GET_DESCRIPTOR")))
      return {};
    buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return buffer;
  }

  bool Configure() {
    std::vector<std::uint8_t> device = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
    std::vector<std::uint8_t> head = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
    if (device.size() != 18 || head.size() != 9)
      return false;
    config_ = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, head[2] | head[3] << 8);
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    if (list[0].InterfaceDescriptor == nullptr)
      return false;
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (select == nullptr)
      return false;
    const bool selected = NT_SUCCESS(Submit(select, "SELECT_CONFIGURATION"));
    if (selected) {
      for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
        const USBD_PIPE_INFORMATION& pipe = list[0].Interface->Pipes[i];
        if (pipe.EndpointAddress == 0x82)
          bulk_in_ = pipe.PipeHandle;
        if (pipe.EndpointAddress == 0x02)
          bulk_out_ = pipe.PipeHandle;
      }
    }
    ExFreePool(select);
    std::printf("chip %04X:%04X, %s, configured\n", device[8] | device[9] << 8,
                device[10] | device[11] << 8, traits_.name);
    return selected && bulk_in_ != nullptr && bulk_out_ != nullptr;
  }

  NTSTATUS Vendor(bool in, UCHAR request, USHORT value, USHORT index, void* buffer, ULONG* length,
                  const char* what) {
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request,
                          value, index, buffer, nullptr, length != nullptr ? *length : 0, nullptr);
    const NTSTATUS status = Submit(&urb, what);
    if (length != nullptr)
      *length = urb.UrbControlVendorClassRequest.TransferBufferLength;
    return status;
  }

  void WriteRegisters(UCHAR a, UCHAR value_a, UCHAR b, UCHAR value_b) {
    Vendor(false, VR_WRITE_REGS, static_cast<USHORT>(a | b << 8),
           static_cast<USHORT>(value_a | value_b << 8), nullptr, nullptr, "VR_WRITE_REGS");
  }

  std::pair<UCHAR, UCHAR> ReadRegisters(UCHAR a, UCHAR b) {
    std::uint8_t answer[2] = {};
    ULONG length = sizeof(answer);
    Vendor(true, VR_READ_REGS, static_cast<USHORT>(a | b << 8), 0, answer, &length, "VR_READ_REGS");
    Check(length == 2, "VR_READ_REGS length");
    return {answer[0], answer[1]};
  }

  // Registers: the version, the auxiliary line register, a rate of 115,200
  // bit/s and an 8-bit frame with even parity, each read back.
  void ProgramLine() {
    if (traits_.answers_version) {
      std::uint8_t version[8] = {};
      ULONG length = 7;
      Vendor(true, VR_GET_VERSION, 0, 0, version, &length, "VR_GET_VERSION");
      std::printf("version 0x%02X\n", version[0]);
    }
    const auto aux = ReadRegisters(REG_LINE_AUX, REG_MODEM);
    std::printf("line aux 0x%02X, modem 0x%02X\n", aux.first, aux.second);
    WriteRegisters(REG_LINE_AUX, kAuxNoBreak, REG_CHAR_TIME_HIGH, 0);

    const UCHAR prescaler = static_cast<UCHAR>(
        kPrescaler115200 | (traits_.prescaler_enable_bit ? kPrescalerEnable : 0));
    WriteRegisters(REG_PRESCALER, prescaler, REG_DIVISOR, kDivisor115200);
    UCHAR lcr1;
    UCHAR lcr2 = 0;
    if (traits_.new_line_control) {
      lcr1 = kLcr1NoBreak | 0x03 | 0x08 | 0x10;  // 8 data bits, even parity, one stop bit
    } else {
      lcr1 = kLcr1NoBreak | kLcr1NinthBit;  // a ninth bit...
      lcr2 = 7;                             // ...of even parity
    }
    WriteRegisters(REG_LCR1, lcr1, REG_LCR2, lcr2);
    const auto rate = ReadRegisters(REG_PRESCALER, REG_DIVISOR);
    const auto frame = ReadRegisters(REG_LCR1, REG_LCR2);
    Check(rate.first == prescaler && rate.second == kDivisor115200, "rate read back");
    Check(frame.first == lcr1 && (frame.second & 0x07) == lcr2, "frame read back");
    std::printf("rate %u bit/s, frame 8E1\n",
                kPrescalerClockHz[kPrescaler115200] / (256u - kDivisor115200));
    if (traits_.modem_control_request) {
      Vendor(false, VR_MODEM_CONTROL, 0, 0, nullptr, nullptr, "VR_MODEM_CONTROL");  // DTR, RTS on
    }
  }

  NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, std::uint8_t* data, ULONG* length, ULONG flags,
                const char* what) {
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           data, nullptr, *length, flags, nullptr);
    const NTSTATUS status = Submit(&urb, what);
    *length = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return status;
  }

  // Sends the message and reads bulk IN until it is all back.
  void Echo() {
    std::vector<std::uint8_t> out(kMessage, kMessage + sizeof(kMessage) - 1);
    ULONG length = static_cast<ULONG>(out.size());
    Bulk(bulk_out_, out.data(), &length, 0, "bulk OUT");
    Check(length == out.size(), "bulk OUT length");

    std::vector<std::uint8_t> back;
    const sim::Ticks deadline = sim::Now() + kEchoDeadline;
    while (back.size() < out.size() && sim::Now() < deadline && ok_) {
      std::uint8_t packet[32];
      ULONG got = sizeof(packet);
      if (!NT_SUCCESS(Bulk(bulk_in_, packet, &got, USBD_SHORT_TRANSFER_OK, "bulk IN")))
        break;
      back.insert(back.end(), packet, packet + got);
    }
    Check(back == out, "loopback echo");
    std::printf("sent %zu bytes, %zu came back\n", out.size(), back.size());
  }

 private:
  PDEVICE_OBJECT pdo_;
  const GenerationTraits& traits_;
  std::vector<std::uint8_t> config_;
  USBD_PIPE_HANDLE bulk_in_ = nullptr;
  USBD_PIPE_HANDLE bulk_out_ = nullptr;
  bool ok_ = true;
};

}  // namespace

int RunCapture(const CaptureOptions& options) {
  WorldOptions world_options;
  world_options.announce = false;
  World world(world_options);
  hw::qz719::Qz719Chip chip(options.generation);
  hw::LoopbackPlug plug(chip);
  usb::HostController bus;
  if (!bus.StartCapture(options.file)) {
    std::fprintf(stderr, "vaxsim capture: cannot write %s\n", options.file.c_str());
    return 1;
  }
  const int port = bus.Plug(&chip);
  if (port == 0) {
    std::fprintf(stderr, "vaxsim capture: the chip did not enumerate\n");
    return 1;
  }
  Session session(bus.Pdo(port), options.generation);
  if (session.Configure()) {
    session.ProgramLine();
    session.Echo();
  } else {
    session.Check(false, "configuration");
  }
  bus.Unplug(port);
  bus.StopCapture();
  const usb::HostController::Stats stats = bus.stats();
  std::printf("urbs %llu bytes %llu\n", static_cast<unsigned long long>(stats.captured_urbs),
              static_cast<unsigned long long>(stats.captured_bytes));
  return session.ok() ? 0 : 1;
}

}  // namespace vax::tools
