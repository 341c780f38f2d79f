// Full-speed timing on the platform clock: 1 ms frames, the per-frame byte
// budget, control transfers of at least a frame, and no cost while idle.
#include <gtest/gtest.h>

#include "usb_fixture.h"

namespace vax::test {
namespace {

// Sleeps to the next frame start and returns it.
sim::Ticks NextFrameStart() {
  const sim::Ticks start = (sim::Now() / kTicksPerMs + 1) * kTicksPerMs;
  sim::SleepUntil(start, "next frame");
  return start;
}

class UsbTiming : public UsbBus {
 protected:
  void SetUp() override {
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, Configure());
  }
};

TEST_F(UsbTiming, ControlTransferTakesAtLeastOneFrame) {
  struct Case {
    sim::Ticks submit_after_frame_start;
    sim::Ticks completes_after_frame_start;
  };
  // Submitted at a frame start it is served in that frame and completes at
  // its end; submitted during a frame it waits for the next one.
  for (Case c : {Case{0, kTicksPerMs}, Case{3 * kTicksPerMs / 10, 2 * kTicksPerMs}}) {
    const sim::Ticks start = NextFrameStart();
    sim::SleepUntil(start + c.submit_after_frame_start, "submit");
    std::uint8_t buffer[8];
    ULONG length = sizeof(buffer);
    EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, buffer, &length));
    EXPECT_EQ(c.completes_after_frame_start, sim::Now() - start);
  }
  // Synchronous requests one after the other: one per frame.
  const sim::Ticks start = NextFrameStart();
  for (int i = 0; i < 10; ++i) {
    ULONG length = 0;
    Vendor(kVendorWrite, false, nullptr, &length);
  }
  EXPECT_EQ(10 * kTicksPerMs, sim::Now() - start);
}

// Bulk OUT through one device: 1216 bytes (19 packets of 64) fit a frame.
TEST(UsbFrameBudget, BulkBytesPerFrameAreBounded) {
  struct Case {
    USHORT packet;
    ULONG bytes;
    int frames;
  };
  const Case cases[] = {{64, 1216, 1}, {64, 1217, 2}, {64, 4096, 4},
                        {32, 1216, 1}, {32, 4096, 4}, {8, 64, 1}};
  for (const Case& c : cases) {
    Bus bus(c.packet);
    bus.Boot();
    ASSERT_EQ(STATUS_SUCCESS, bus.Configure());
    const sim::Ticks start = NextFrameStart();
    auto posted = bus.Post(bus.bulk_out, c.bytes, 0, std::vector<std::uint8_t>(c.bytes, 0x33));
    EXPECT_EQ(STATUS_SUCCESS, posted->Wait());
    EXPECT_EQ(c.frames * kTicksPerMs, sim::Now() - start)
        << c.bytes << " bytes in " << c.packet << "-byte packets";
    EXPECT_EQ(c.bytes, bus.device.bulk_out.size());
  }
}

// Two devices share the bus: 2 x 4096 bytes need ceil(8192 / 1216) frames.
TEST_F(UsbTiming, DevicesShareTheFrameBudget) {
  FakeDevice second(32, 0x9999);
  const int second_port = usb->Plug(&second, Unreported());
  ASSERT_NE(0, second_port);
  PDEVICE_OBJECT first_pdo = pdo;
  USBD_PIPE_HANDLE first_out = bulk_out;
  pdo = usb->Pdo(second_port);
  ASSERT_EQ(STATUS_SUCCESS, Configure());
  USBD_PIPE_HANDLE second_out = bulk_out;

  const sim::Ticks start = NextFrameStart();
  pdo = first_pdo;
  auto a = Post(first_out, 4096, 0, std::vector<std::uint8_t>(4096, 1));
  pdo = usb->Pdo(second_port);
  auto b = Post(second_out, 4096, 0, std::vector<std::uint8_t>(4096, 2));
  EXPECT_EQ(STATUS_SUCCESS, a->Wait());
  EXPECT_EQ(STATUS_SUCCESS, b->Wait());
  EXPECT_EQ(7 * kTicksPerMs, sim::Now() - start);
  EXPECT_EQ(4096u, device.bulk_out.size());
  EXPECT_EQ(4096u, second.bulk_out.size());
  usb->Unplug(second_port);
}

// Ten bulk-IN transfers posted on an idle line cost nothing while nothing
// arrives: the bus waits for the device's activity notification.
TEST_F(UsbTiming, IdlePostedTransfersCostNoWakeups) {
  std::vector<std::unique_ptr<Posted>> posted;
  for (int i = 0; i < 10; ++i)
    posted.push_back(Post(bulk_in, 32));
  world.RunFor(2 * kTicksPerMs);
  const usb::HostController::Stats before = usb->stats();
  const int tokens_before = device.in_tokens;
  world.RunFor(5 * sim::kTicksPerSecond);
  const usb::HostController::Stats after = usb->stats();
  EXPECT_LE(after.wakeups - before.wakeups, 2u);
  EXPECT_EQ(before.frames, after.frames);
  EXPECT_EQ(tokens_before, device.in_tokens);
  RecordProperty("idle_wakeups_per_5s", static_cast<int>(after.wakeups - before.wakeups));

  const sim::Ticks arrival = sim::Now();
  device.Arrive(std::vector<std::uint8_t>(20, 0x42));
  EXPECT_EQ(STATUS_SUCCESS, posted[0]->Wait());
  EXPECT_EQ(20u, posted[0]->Length());
  EXPECT_LE(sim::Now() - arrival, 2 * kTicksPerMs);
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, bulk_in));
  for (std::size_t i = 1; i < posted.size(); ++i)
    EXPECT_EQ(STATUS_CANCELLED, posted[i]->Wait());
}

// A device that never notifies is still asked again when the bus polls.
TEST(UsbNakPolling, PollingFramesServeADeviceThatDoesNotNotify) {
  Bus bus;
  usb::HostControllerOptions options;
  options.nak_poll_frames = 8;
  bus.Boot(options);
  ASSERT_EQ(STATUS_SUCCESS, bus.Configure());
  auto posted = bus.Post(bus.bulk_in, 32);
  bus.world.RunFor(3 * kTicksPerMs);
  bus.device.bulk_in = {1, 2, 3};  // no notification
  EXPECT_EQ(STATUS_SUCCESS, posted->Wait(20 * kTicksPerMs));
  EXPECT_EQ(3u, posted->Length());
}

}  // namespace
}  // namespace vax::test
