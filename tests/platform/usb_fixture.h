// A small USB device and a booted bus for the USB stack's tests. The device
// has one interface with an interrupt IN (0x81), a bulk IN (0x82) and a bulk
// OUT (0x02) endpoint, answers the standard requests, a few vendor requests,
// and moves bulk data through queues the test fills and reads.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "nt/usb.h"
#include "usb/host_controller.h"
#include "usb/usb_requests.h"
#include "world/world.h"

namespace vax::test {

using sim::kTicksPerMs;
using usb::Handshake;
using usb::SetupPacket;

constexpr UCHAR kInterruptIn = 0x81;
constexpr UCHAR kBulkIn = 0x82;
constexpr UCHAR kBulkOut = 0x02;
// Vendor requests of the fake device.
constexpr UCHAR kVendorRead = 0x01;   // IN: `vendor_answer`
constexpr UCHAR kVendorWrite = 0x02;  // OUT: stored in `vendor_written`
constexpr UCHAR kVendorRefused = 0x7F;

class FakeDevice : public usb::UsbDevice {
 public:
  explicit FakeDevice(USHORT bulk_packet = 32, USHORT product = 0x5678)
      : bulk_packet_(bulk_packet), product_(product) {}

  std::vector<std::uint8_t> DeviceDescriptor() const override {
    return {18,
            1,
            0x10,
            0x01,
            0xFF,
            0,
            0,
            8,
            0x34,
            0x12,
            static_cast<std::uint8_t>(product_),
            static_cast<std::uint8_t>(product_ >> 8),
            0x00,
            0x01,
            0,
            0,
            0,
            1};
  }

  std::vector<std::uint8_t> ConfigurationDescriptor() const override {
    const auto lo = static_cast<std::uint8_t>(bulk_packet_);
    const auto hi = static_cast<std::uint8_t>(bulk_packet_ >> 8);
    std::vector<std::uint8_t> set = {9,    2,    0,
                                     0,    1,    1,
                                     0,    0x80, 0x32,  // configuration 1
                                     9,    4,    0,
                                     0,    3,    0xFF,
                                     0x01, 0x02, 0,  // interface 0
                                     7,    5,    kInterruptIn,
                                     3,    8,    0,
                                     1,  // interrupt IN, 8 bytes, every frame
                                     7,    5,    kBulkIn,
                                     2,    lo,   hi,
                                     0,  // bulk IN
                                     7,    5,    kBulkOut,
                                     2,    lo,   hi,
                                     0};  // bulk OUT
    set[2] = static_cast<std::uint8_t>(set.size());
    return set;
  }

  Handshake Control(const SetupPacket& setup, std::span<std::uint8_t> data,
                    std::size_t* actual) override {
    setups.push_back(setup);
    *actual = 0;
    auto answer = [&](const std::vector<std::uint8_t>& bytes) {
      *actual = std::min(bytes.size(), data.size());
      std::copy_n(bytes.begin(), *actual, data.begin());
      return Handshake::kAck;
    };
    if (setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
      if (setup.wValue >> 8 == USB_DEVICE_DESCRIPTOR_TYPE)
        return answer(DeviceDescriptor());
      if (setup.wValue >> 8 == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return answer(ConfigurationDescriptor());
      }
      return Handshake::kStall;
    }
    if ((setup.bmRequestType & 0x60) == 0x40) {
      if (setup.bRequest == kVendorRefused)
        return Handshake::kStall;
      if (setup.bRequest == kVendorRead)
        return answer(vendor_answer);
      if (setup.bRequest == kVendorWrite)
        vendor_written.assign(data.begin(), data.end());
      return Handshake::kAck;
    }
    if ((setup.bmRequestType & 0x80) != 0)
      return answer(std::vector<std::uint8_t>(setup.wLength, 0));
    if (setup.bRequest == USB_REQUEST_SET_CONFIGURATION)
      configuration = setup.wValue & 0xFF;
    return Handshake::kAck;
  }

  Handshake In(std::uint8_t endpoint, std::span<std::uint8_t> packet,
               std::size_t* actual) override {
    ++in_tokens;
    std::deque<std::uint8_t>& source = endpoint == kBulkIn ? bulk_in : interrupt_in;
    if (source.empty() && !(endpoint == kBulkIn && zero_length_next))
      return Handshake::kNak;
    zero_length_next = false;
    *actual = std::min(std::min(packet.size(), source.size()), in_packet_limit);
    std::copy_n(source.begin(), *actual, packet.begin());
    source.erase(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(*actual));
    return Handshake::kAck;
  }

  Handshake Out(std::uint8_t, std::span<const std::uint8_t> packet) override {
    if (packet.size() > out_room)
      return Handshake::kNak;
    out_room -= packet.size();
    bulk_out.insert(bulk_out.end(), packet.begin(), packet.end());
    out_packets.push_back(packet.size());
    return Handshake::kAck;
  }

  void BusReset() override {
    ++bus_resets;
    configuration = 0;
  }

  // Data arrives for the bulk IN endpoint (and the bus is told).
  void Arrive(const std::vector<std::uint8_t>& bytes) {
    bulk_in.insert(bulk_in.end(), bytes.begin(), bytes.end());
    NotifyActivity(kBulkIn);
  }
  // A status packet for the interrupt IN endpoint.
  void Interrupt(const std::vector<std::uint8_t>& bytes) {
    interrupt_in.insert(interrupt_in.end(), bytes.begin(), bytes.end());
    NotifyActivity(kInterruptIn);
  }
  // The bulk OUT endpoint makes room for `bytes` more.
  void MakeRoom(std::size_t bytes) {
    out_room += bytes;
    NotifyActivity(kBulkOut);
  }
  // The last setup packet whose bRequest is `request`, or an all-0xFF one.
  SetupPacket LastSetup(UCHAR request) const {
    for (auto it = setups.rbegin(); it != setups.rend(); ++it) {
      if (it->bRequest == request)
        return *it;
    }
    return SetupPacket{0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF};
  }

  std::vector<SetupPacket> setups;
  std::vector<std::uint8_t> vendor_answer = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<std::uint8_t> vendor_written;
  std::deque<std::uint8_t> bulk_in;
  std::deque<std::uint8_t> interrupt_in;
  std::size_t in_packet_limit = SIZE_MAX;  // the device gives at most this per IN packet
  bool zero_length_next = false;           // the next bulk IN token gets a zero-length packet
  std::vector<std::uint8_t> bulk_out;
  std::vector<std::size_t> out_packets;
  std::size_t out_room = SIZE_MAX;
  int configuration = 0;
  int bus_resets = 0;
  int in_tokens = 0;

 private:
  USHORT bulk_packet_;
  USHORT product_;
};

inline WorldOptions QuietWorld() {
  WorldOptions options;
  options.announce = false;
  return options;
}

inline usb::PlugOptions Unreported() {
  usb::PlugOptions options;
  options.report_to_pnp = false;
  return options;
}

// A URB left in flight with its buffer; its address stays put.
struct Posted {
  URB urb{};
  usb::PendingUrb pending{};
  std::vector<std::uint8_t> data;
  NTSTATUS Wait(sim::Ticks timeout = 1000 * kTicksPerMs) { return usb::WaitUrb(&pending, timeout); }
  bool Done() { return KeReadStateEvent(&pending.done) != 0; }
  ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
  USBD_STATUS Status() const { return urb.UrbHeader.Status; }
};

// A booted World with one FakeDevice plugged in (not reported to the PnP
// manager: the tests talk to the PDO directly, as a driver would).
class Bus {
 public:
  explicit Bus(USHORT packet = 32) : world(QuietWorld()), device(packet) {}

  void Boot(usb::HostControllerOptions options = {}) {
    usb = std::make_unique<usb::HostController>(options);
    port = usb->Plug(&device, Unreported());
    ASSERT_NE(0, port);
    pdo = usb->Pdo(port);
  }

  NTSTATUS Submit(URB* urb) { return usb::SubmitUrb(pdo, urb); }

  // Reads the configuration descriptor set and selects its first interface,
  // every pipe's MaximumTransferSize set to `max_transfer`.
  NTSTATUS Configure(ULONG max_transfer = 4096) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, nullptr,
                                 sizeof(config), nullptr);
    NTSTATUS status = Submit(&urb);
    if (!NT_SUCCESS(status))
      return status;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (select == nullptr)
      return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
      list[0].Interface->Pipes[i].MaximumTransferSize = max_transfer;
    }
    status = Submit(select);
    if (NT_SUCCESS(status)) {
      for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
        const USBD_PIPE_INFORMATION& pipe = list[0].Interface->Pipes[i];
        if (pipe.EndpointAddress == kInterruptIn)
          interrupt = pipe.PipeHandle;
        if (pipe.EndpointAddress == kBulkIn)
          bulk_in = pipe.PipeHandle;
        if (pipe.EndpointAddress == kBulkOut)
          bulk_out = pipe.PipeHandle;
      }
    }
    ExFreePool(select);
    return status;
  }

  // A bulk or interrupt transfer left in flight.
  std::unique_ptr<Posted> Post(USBD_PIPE_HANDLE pipe, ULONG length,
                               ULONG flags = USBD_SHORT_TRANSFER_OK,
                               std::vector<std::uint8_t> data = {}) {
    auto posted = std::make_unique<Posted>();
    posted->data = data.empty() ? std::vector<std::uint8_t>(length) : std::move(data);
    UsbBuildInterruptOrBulkTransferRequest(&posted->urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, posted->data.data(), nullptr, length, flags,
                                           nullptr);
    usb::SubmitUrbAsync(pdo, &posted->urb, &posted->pending);
    return posted;
  }

  // A vendor request to the device, waited for; `length` in and out.
  NTSTATUS Vendor(UCHAR request, bool in, void* buffer, ULONG* length,
                  ULONG flags = USBD_SHORT_TRANSFER_OK) {
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0), 0, request, 0x1234, 0x5678,
                          buffer, nullptr, *length, nullptr);
    const NTSTATUS status = Submit(&urb);
    *length = urb.UrbControlVendorClassRequest.TransferBufferLength;
    last_usbd = urb.UrbHeader.Status;
    return status;
  }

  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    const NTSTATUS status = Submit(&urb);
    last_usbd = urb.UrbHeader.Status;
    return status;
  }

  World world;
  FakeDevice device;
  std::unique_ptr<usb::HostController> usb;
  int port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  UCHAR config[255] = {};
  USBD_PIPE_HANDLE interrupt = nullptr;
  USBD_PIPE_HANDLE bulk_in = nullptr;
  USBD_PIPE_HANDLE bulk_out = nullptr;
  USBD_STATUS last_usbd = 0;
};

class UsbBus : public ::testing::Test, public Bus {};

}  // namespace vax::test
