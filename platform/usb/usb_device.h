// The seam between the simulated USB bus (platform/usb) and a simulated USB
// device (hardware/). A device sees what a real one sees on the wire: setup
// packets on endpoint 0, IN tokens and OUT data packets on its other
// endpoints, bus resets. It answers as hardware does: data, ACK, NAK or
// STALL. URBs, IRPs and pipe handles never reach a device.
//
// Every call comes from the bus's own sim thread at a frame boundary; a device
// may keep threads of its own (UART timing) and guards its state against them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vax::usb {

struct SetupPacket {
  std::uint8_t bmRequestType;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
};

enum class Handshake {
  kAck,    // data moved (for IN: `actual` bytes returned, maybe 0 = zero-length packet)
  kNak,    // nothing to give / no room now; the host retries in a later frame
  kStall,  // the request or endpoint is refused; the endpoint halts until cleared
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // All descriptors the device answers GET_DESCRIPTOR with are served through
  // Control(); these two are the bus's enumeration shortcut and must agree.
  virtual std::vector<std::uint8_t> DeviceDescriptor() const = 0;
  virtual std::vector<std::uint8_t> ConfigurationDescriptor() const = 0;

  // A control transfer on endpoint 0. For device-to-host requests the device
  // writes at most setup.wLength bytes into `data` and sets `actual`; for
  // host-to-device requests `data` holds the wLength bytes sent. Standard
  // requests the bus itself handles (SET_ADDRESS) never reach the device;
  // SET_CONFIGURATION, GET_DESCRIPTOR, GET_STATUS, SET/CLEAR_FEATURE do.
  virtual Handshake Control(const SetupPacket& setup, std::span<std::uint8_t> data,
                            std::size_t* actual) = 0;

  // One IN token on a bulk or interrupt endpoint (address with bit 7 set):
  // on kAck the device wrote `actual` bytes (at most packet.size(), which is
  // the endpoint's wMaxPacketSize); fewer than a full packet ends a transfer.
  virtual Handshake In(std::uint8_t endpoint, std::span<std::uint8_t> packet,
                       std::size_t* actual) = 0;

  // One OUT data packet on a bulk endpoint; kNak means no room now.
  virtual Handshake Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) = 0;

  // A hub port reset: the device returns to its power-on state except for
  // what a real chip keeps across a bus reset.
  virtual void BusReset() = 0;

  // The bus installs this when the device is plugged. The device calls it
  // whenever an endpoint that NAKed may now answer differently (data arrived
  // for an IN endpoint, FIFO room for an OUT endpoint, a status change), so
  // the bus need not poll idle endpoints every frame. Calling it spuriously is
  // harmless. The argument is the endpoint address.
  void SetActivityListener(std::function<void(std::uint8_t endpoint)> listener) {
    activity_ = std::move(listener);
  }

 protected:
  void NotifyActivity(std::uint8_t endpoint) {
    if (activity_)
      activity_(endpoint);
  }

 private:
  std::function<void(std::uint8_t)> activity_;
};

}  // namespace vax::usb
