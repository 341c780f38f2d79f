// The pcap container and the usbmon record layout, written field by field in
// little-endian order so the file is the same whatever the host.
#include "usb/usbmon_writer.h"

#include <vector>

namespace vax::usb {
namespace {

constexpr std::uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr std::uint16_t kPcapMajor = 2;
constexpr std::uint16_t kPcapMinor = 4;
constexpr std::uint32_t kSnapLength = 262144;
constexpr std::uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr std::size_t kUsbmonHeaderBytes = 64;

// usbmon's data flag when no data follows: '<' for an IN submission (the data
// is still to come), '>' otherwise.
constexpr char kNoDataIn = '<';
constexpr char kNoDataOut = '>';
constexpr char kNoSetup = '-';

class Bytes {
 public:
  void U8(std::uint8_t v) { bytes_.push_back(v); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
  }
  void Raw(const std::uint8_t* data, std::size_t n) { bytes_.insert(bytes_.end(), data, data + n); }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

UsbmonWriter::~UsbmonWriter() {
  Close();
}

bool UsbmonWriter::Open(const std::string& path) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr)
    return false;
  Bytes header;
  header.U32(kPcapMagic);
  header.U16(kPcapMajor);
  header.U16(kPcapMinor);
  header.U32(0);  // thiszone
  header.U32(0);  // sigfigs
  header.U32(kSnapLength);
  header.U32(kLinkTypeUsbLinuxMmapped);
  std::fwrite(header.bytes().data(), 1, header.bytes().size(), file_);
  return std::ferror(file_) == 0;
}

void UsbmonWriter::Close() {
  if (file_ == nullptr)
    return;
  std::fclose(file_);
  file_ = nullptr;
}

void UsbmonWriter::Write(const UsbmonEvent& event) {
  if (file_ == nullptr)
    return;
  const std::int64_t seconds = event.unix_time_us / 1'000'000;
  const std::int32_t micros = static_cast<std::int32_t>(event.unix_time_us % 1'000'000);
  const std::uint32_t captured = event.data != nullptr ? event.data_length : 0;

  Bytes record;
  // pcap record header.
  record.U32(static_cast<std::uint32_t>(seconds));
  record.U32(static_cast<std::uint32_t>(micros));
  record.U32(static_cast<std::uint32_t>(kUsbmonHeaderBytes + captured));
  record.U32(static_cast<std::uint32_t>(kUsbmonHeaderBytes + captured));
  // usbmon header.
  record.U64(event.id);
  record.U8(static_cast<std::uint8_t>(event.type));
  record.U8(static_cast<std::uint8_t>(event.transfer_type));
  record.U8(event.endpoint);
  record.U8(event.device);
  record.U16(event.bus);
  record.U8(event.has_setup ? 0 : static_cast<std::uint8_t>(kNoSetup));
  const bool in = (event.endpoint & 0x80) != 0;
  record.U8(captured != 0
                ? 0
                : static_cast<std::uint8_t>(in && event.type == 'S' ? kNoDataIn : kNoDataOut));
  record.U64(static_cast<std::uint64_t>(seconds));
  record.U32(static_cast<std::uint32_t>(micros));
  record.U32(static_cast<std::uint32_t>(event.status));
  record.U32(event.length);
  record.U32(captured);
  if (event.has_setup) {
    record.Raw(event.setup, 8);
  } else {
    record.U64(0);
  }
  record.U32(static_cast<std::uint32_t>(event.interval));
  record.U32(static_cast<std::uint32_t>(event.start_frame));
  record.U32(event.flags);
  record.U32(0);  // ndesc: no isochronous descriptors
  if (captured != 0)
    record.Raw(event.data, captured);
  std::fwrite(record.bytes().data(), 1, record.bytes().size(), file_);
}

}  // namespace vax::usb
