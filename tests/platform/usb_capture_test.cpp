// The usbmon pcap capture: the file layout a reader expects, one submission
// and one completion per URB with setup packets and data where they belong.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "usb_fixture.h"

namespace vax::test {
namespace {

struct Record {
  std::uint64_t id;
  char type;
  std::uint8_t transfer_type;
  std::uint8_t endpoint;
  std::uint8_t device;
  std::uint8_t setup_flag;
  std::uint8_t data_flag;
  std::int32_t status;
  std::uint32_t length;
  std::vector<std::uint8_t> setup;
  std::vector<std::uint8_t> data;
};

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Reads a pcap of usbmon records; fails the test on a layout error.
std::vector<Record> ReadCapture(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(file)), {});
  std::vector<Record> records;
  EXPECT_GE(b.size(), 24u);
  if (b.size() < 24)
    return records;
  EXPECT_EQ(0xA1B2C3D4u, U32(b, 0));
  EXPECT_EQ(2u, b[4] | b[5] << 8);
  EXPECT_EQ(4u, b[6] | b[7] << 8);
  EXPECT_EQ(220u, U32(b, 20));
  std::size_t at = 24;
  while (at + 16 <= b.size()) {
    const std::uint32_t captured = U32(b, at + 8);
    EXPECT_EQ(captured, U32(b, at + 12));
    EXPECT_GE(captured, 64u);
    EXPECT_LE(at + 16 + captured, b.size());
    const std::size_t h = at + 16;
    Record r;
    r.id = U32(b, h) | static_cast<std::uint64_t>(U32(b, h + 4)) << 32;
    r.type = static_cast<char>(b[h + 8]);
    r.transfer_type = b[h + 9];
    r.endpoint = b[h + 10];
    r.device = b[h + 11];
    r.setup_flag = b[h + 14];
    r.data_flag = b[h + 15];
    r.status = static_cast<std::int32_t>(U32(b, h + 28));
    r.length = U32(b, h + 32);
    const std::uint32_t data_length = U32(b, h + 36);
    EXPECT_EQ(captured, 64 + data_length);
    r.setup.assign(b.begin() + static_cast<std::ptrdiff_t>(h + 40),
                   b.begin() + static_cast<std::ptrdiff_t>(h + 48));
    r.data.assign(b.begin() + static_cast<std::ptrdiff_t>(h + 64),
                  b.begin() + static_cast<std::ptrdiff_t>(h + 64 + data_length));
    records.push_back(r);
    at += 16 + captured;
  }
  EXPECT_EQ(b.size(), at);
  return records;
}

TEST_F(UsbBus, CaptureWritesEverySubmissionAndCompletion) {
  Boot();
  const std::string path = ::testing::TempDir() + "usb_capture_test.pcap";
  ASSERT_TRUE(usb->StartCapture(path));
  ASSERT_EQ(STATUS_SUCCESS, Configure());
  std::uint8_t answer[8];
  ULONG length = sizeof(answer);
  ASSERT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, answer, &length));
  std::vector<std::uint8_t> out(40);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(0xA0 + i);
  ASSERT_EQ(STATUS_SUCCESS, Post(bulk_out, 40, 0, out)->Wait());
  device.Arrive({0x11, 0x22, 0x33});
  ASSERT_EQ(STATUS_SUCCESS, Post(bulk_in, 32)->Wait());
  length = 0;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Vendor(kVendorRefused, false, nullptr, &length));
  const usb::HostController::Stats stats = usb->stats();
  usb->StopCapture();

  const std::vector<Record> records = ReadCapture(path);
  // Descriptor, SET_CONFIGURATION, vendor IN, bulk OUT, bulk IN, refused vendor OUT.
  ASSERT_EQ(12u, records.size());
  EXPECT_EQ(6u, stats.captured_urbs);
  std::map<std::uint64_t, int> submissions;
  for (const Record& r : records) {
    if (r.type == 'S') {
      ++submissions[r.id];
      EXPECT_EQ(-115, r.status);
    } else {
      ASSERT_EQ('C', r.type);
      EXPECT_EQ(1, submissions[r.id]) << "completion without its submission";
    }
  }

  const Record& vendor_submit = records[4];
  EXPECT_EQ('S', vendor_submit.type);
  EXPECT_EQ(2, vendor_submit.transfer_type);
  EXPECT_EQ(0x80, vendor_submit.endpoint);
  EXPECT_EQ(0, vendor_submit.setup_flag);
  EXPECT_EQ((std::vector<std::uint8_t>{0xC0, kVendorRead, 0x34, 0x12, 0x78, 0x56, 8, 0}),
            vendor_submit.setup);
  EXPECT_EQ('<', vendor_submit.data_flag);
  const Record& vendor_complete = records[5];
  EXPECT_EQ(vendor_submit.id, vendor_complete.id);
  EXPECT_EQ(0, vendor_complete.status);
  EXPECT_EQ(device.vendor_answer, vendor_complete.data);

  const Record& out_submit = records[6];
  EXPECT_EQ(3, out_submit.transfer_type);
  EXPECT_EQ(kBulkOut, out_submit.endpoint);
  EXPECT_EQ('-', out_submit.setup_flag);
  EXPECT_EQ(0, out_submit.data_flag);
  EXPECT_EQ(out, out_submit.data);
  EXPECT_EQ(40u, records[7].length);
  EXPECT_TRUE(records[7].data.empty());

  EXPECT_EQ(kBulkIn, records[9].endpoint);
  EXPECT_EQ(32u, records[8].length);
  EXPECT_EQ((std::vector<std::uint8_t>{0x11, 0x22, 0x33}), records[9].data);
  EXPECT_EQ(3u, records[9].length);
  EXPECT_EQ(-32, records[11].status);  // the stall
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vax::test
