// A pcap file of USB traffic in the Linux usbmon format: link type 220
// (LINKTYPE_USB_LINUX_MMAPPED), each record a 64-byte usbmon header followed
// by the data captured. Wireshark and tshark read it as they read a capture
// taken on a Linux host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vax::usb {

// usbmon transfer types.
enum class UsbmonTransferType : std::uint8_t {
  kIsochronous = 0,
  kInterrupt = 1,
  kControl = 2,
  kBulk = 3,
};

// usbmon's URB flags (the Linux URB transfer_flags bits a reader shows).
constexpr std::uint32_t kUsbmonShortNotOk = 0x0001;
constexpr std::uint32_t kUsbmonDirIn = 0x0200;

// Linux errno values usbmon records as a URB's status.
namespace usbmon_status {
constexpr std::int32_t kInProgress = -115;  // -EINPROGRESS: every submission
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kUnlinked = -2;   // -ENOENT: cancelled
constexpr std::int32_t kNoDevice = -19;  // -ENODEV: the device is gone
constexpr std::int32_t kInvalid = -22;   // -EINVAL: refused by the stack
constexpr std::int32_t kStall = -32;     // -EPIPE: STALL or halted endpoint
constexpr std::int32_t kProtocol = -71;  // -EPROTO: other transaction errors
constexpr std::int32_t kOverflow = -75;  // -EOVERFLOW: babble
constexpr std::int32_t kShort = -121;    // -EREMOTEIO: short transfer refused
constexpr std::int32_t kTimeout = -110;  // -ETIMEDOUT
}  // namespace usbmon_status

struct UsbmonEvent {
  std::uint64_t id = 0;  // pairs a submission with its completion
  char type = 'S';       // 'S' submission, 'C' completion
  UsbmonTransferType transfer_type = UsbmonTransferType::kBulk;
  std::uint8_t endpoint = 0;  // address, bit 7 set for IN
  std::uint8_t device = 0;    // device address on the bus
  std::uint16_t bus = 1;
  bool has_setup = false;
  std::uint8_t setup[8] = {};
  std::int32_t status = usbmon_status::kInProgress;
  std::uint32_t length = 0;  // asked for ('S') or moved ('C')
  const std::uint8_t* data = nullptr;
  std::uint32_t data_length = 0;  // bytes of `data` recorded
  std::int32_t interval = 0;
  std::int32_t start_frame = 0;
  std::uint32_t flags = 0;
  std::int64_t unix_time_us = 0;
};

class UsbmonWriter {
 public:
  UsbmonWriter() = default;
  ~UsbmonWriter();
  UsbmonWriter(const UsbmonWriter&) = delete;
  UsbmonWriter& operator=(const UsbmonWriter&) = delete;

  // Creates (truncates) the file and writes the pcap header.
  bool Open(const std::string& path);
  void Close();
  bool is_open() const { return file_ != nullptr; }
  void Write(const UsbmonEvent& event);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace vax::usb
