// Every pool block and IRP the driver asks for on the way from a plugged
// chip to a started port may be refused: each refusal is met with a failed
// arrival or a working port, and never with something left behind (the
// unload check of each run stops the test on a leak).
#include "driver_fixture.h"
#include "kernel/faults.h"

namespace vax::test {
namespace {

TEST(DriverFaults, EveryRefusedAllocationOnTheWayToAStartedPortIsUndone) {
  kernel::SiteSweep sweep;
  int started = 0;
  int failed = 0;
  for (int run = 0; run < 100 && !sweep.done(); ++run) {
    WorldOptions quiet;
    quiet.announce = false;
    World world(quiet);
    auto usb = std::make_unique<usb::HostController>();
    auto chip = std::make_unique<WatchedChip>(run % 2 == 0 ? 0x30 : 0x01);
    kernel::LoadedDriver* driver = kernel::LoadDriver(kServiceName, DriverEntry);
    ASSERT_NE(nullptr, driver);
    kernel::BindFunctionDriver(kHardwareId, driver);
    usb::PlugOptions options;
    options.report_to_pnp = false;
    const int usb_port = usb->Plug(chip.get(), options);
    ASSERT_NE(0, usb_port);
    NTSTATUS status;
    {
      kernel::SiteSweep::Run armed(sweep);
      status = kernel::ReportDeviceArrival(usb->Pdo(usb_port), usb->HardwareId(usb_port));
    }
    if (NT_SUCCESS(status)) {
      ++started;
      ULONG port_status = 0;
      PDEVICE_OBJECT port = PortTable[0];
      ASSERT_NE(nullptr, port);
      EXPECT_EQ(STATUS_SUCCESS, GetPortStatus(port, &port_status));
    } else {
      ++failed;
      EXPECT_EQ(0u, IoGetConfigurationInformation()->SerialCount);
    }
    kernel::UnloadDriver(driver);
    usb.reset();
  }
  EXPECT_TRUE(sweep.done());
  EXPECT_GT(failed, 0);
  EXPECT_GT(started, 0);
}

}  // namespace
}  // namespace vax::test
