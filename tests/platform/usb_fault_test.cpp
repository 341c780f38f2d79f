// Faults a test plants in a device's traffic.
#include <gtest/gtest.h>

#include "usb_fixture.h"

namespace vax::test {
namespace {

class UsbFaults : public UsbBus {
 protected:
  void SetUp() override {
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, Configure());
  }
};

TEST_F(UsbFaults, NextUrbsOfAPipeFailWithTheChosenStatus) {
  usb->Faults(port).FailNextUrbs(kBulkOut, 2, USBD_STATUS_DEV_NOT_RESPONDING);
  usb->Faults(port).FailNextUrbs(kBulkIn, 1, USBD_STATUS_TIMEOUT, STATUS_TIMEOUT);
  for (int i = 0; i < 2; ++i) {
    auto failed = Post(bulk_out, 8);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, failed->Wait());
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, failed->Status());
    EXPECT_EQ(0u, failed->Length());
  }
  EXPECT_TRUE(device.bulk_out.empty());
  EXPECT_EQ(STATUS_SUCCESS, Post(bulk_out, 8)->Wait());
  EXPECT_EQ(8u, device.bulk_out.size());

  device.Arrive({1});
  auto timed_out = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_TIMEOUT, timed_out->Wait());
  EXPECT_EQ(USBD_STATUS_TIMEOUT, timed_out->Status());
  EXPECT_EQ(STATUS_SUCCESS, Post(bulk_in, 32)->Wait());

  // Endpoint 0 is the default pipe: every control request counts.
  usb->Faults(port).FailNextUrbs(0, 1, USBD_STATUS_CRC);
  ULONG length = 0;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Vendor(kVendorWrite, false, nullptr, &length));
  EXPECT_EQ(USBD_STATUS_CRC, last_usbd);
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorWrite, false, nullptr, &length));
}

TEST_F(UsbFaults, HeldUrbBlocksItsPipeUntilAborted) {
  usb->Faults(port).HoldNextUrbs(kBulkOut);
  auto held = Post(bulk_out, 8);
  auto behind = Post(bulk_out, 8);
  world.RunFor(sim::kTicksPerSecond);
  EXPECT_FALSE(held->Done());
  EXPECT_FALSE(behind->Done());
  EXPECT_TRUE(device.bulk_out.empty());
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, bulk_out));
  EXPECT_EQ(STATUS_CANCELLED, held->Wait());
  EXPECT_EQ(STATUS_CANCELLED, behind->Wait());
  EXPECT_EQ(STATUS_SUCCESS, Post(bulk_out, 8)->Wait());
}

TEST_F(UsbFaults, ControlRequestAnsweredShortAndEndpointZeroStall) {
  usb->Faults(port).AnswerShort(kVendorRead, 3);
  std::uint8_t buffer[8] = {};
  ULONG length = sizeof(buffer);
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, buffer, &length));
  EXPECT_EQ(3u, length);
  length = sizeof(buffer);
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, buffer, &length));
  EXPECT_EQ(8u, length);

  usb->Faults(port).StallEndpoint(0);
  length = sizeof(buffer);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Vendor(kVendorRead, true, buffer, &length));
  EXPECT_EQ(USBD_STATUS_STALL_PID, last_usbd);
  EXPECT_EQ(0u, length);
  length = sizeof(buffer);
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, buffer, &length));
}

}  // namespace
}  // namespace vax::test
