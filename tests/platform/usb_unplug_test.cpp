// Hub ports: a device leaving the bus with transfers pending, the port
// status and port reset, and the PDO's life under the PnP manager.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/pnp.h"
#include "kernel/power.h"
#include "usb_fixture.h"

namespace vax::test {
namespace {

using usb::GonePortStatus;
using usb::GoneStatus;

// The statuses a device that left gives, as each option chooses them.
TEST(UsbUnplug, PendingAndLaterUrbsFailWithTheChosenStatuses) {
  struct Case {
    GoneStatus pending;
    GoneStatus later;
    GonePortStatus port;
    NTSTATUS pending_status;
    USBD_STATUS pending_usbd;
    NTSTATUS later_status;
    NTSTATUS port_call;
    ULONG port_bits;  // preset to USBD_PORT_CONNECTED
  };
  const Case cases[] = {
      {GoneStatus::kCancelled, GoneStatus::kDeviceNotConnected, GonePortStatus::kReportNotConnected,
       STATUS_CANCELLED, USBD_STATUS_CANCELED, STATUS_DEVICE_NOT_CONNECTED, STATUS_SUCCESS, 0},
      {GoneStatus::kDeviceNotConnected, GoneStatus::kNoSuchDevice,
       GonePortStatus::kFailDeviceNotConnected, STATUS_DEVICE_NOT_CONNECTED,
       USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED,
       USBD_PORT_CONNECTED},
      {GoneStatus::kNoSuchDevice, GoneStatus::kDeviceNotConnected,
       GonePortStatus::kReportNotConnected, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE,
       STATUS_DEVICE_NOT_CONNECTED, STATUS_SUCCESS, 0},
  };
  for (const Case& c : cases) {
    Bus bus;
    usb::HostControllerOptions options;
    options.pending_at_unplug = c.pending;
    options.submitted_after_unplug = c.later;
    options.port_status_after_unplug = c.port;
    bus.Boot(options);
    ASSERT_EQ(STATUS_SUCCESS, bus.Configure());
    ULONG port_bits = USBD_PORT_CONNECTED;
    EXPECT_EQ(STATUS_SUCCESS, usb::GetPortStatus(bus.pdo, &port_bits));
    EXPECT_EQ(ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED}, port_bits);

    std::vector<std::unique_ptr<Posted>> reads;
    for (int i = 0; i < 3; ++i)
      reads.push_back(bus.Post(bus.bulk_in, 32));
    bus.device.out_room = 40;
    auto write = bus.Post(bus.bulk_out, 100, 0, std::vector<std::uint8_t>(100, 7));
    bus.world.RunFor(5 * kTicksPerMs);
    bus.usb->Unplug(bus.port);
    EXPECT_FALSE(bus.usb->Connected(bus.port));
    for (auto& read : reads) {
      EXPECT_EQ(c.pending_status, read->Wait());
      EXPECT_EQ(c.pending_usbd, read->Status());
    }
    EXPECT_EQ(c.pending_status, write->Wait());
    EXPECT_EQ(32u, write->Length());  // the packet that went out before

    EXPECT_EQ(c.later_status, bus.Post(bus.bulk_in, 32)->Wait());
    ULONG length = 0;
    EXPECT_EQ(c.later_status, bus.Vendor(kVendorWrite, false, nullptr, &length));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, bus.last_usbd);
    port_bits = USBD_PORT_CONNECTED;
    EXPECT_EQ(c.port_call, usb::GetPortStatus(bus.pdo, &port_bits));
    EXPECT_EQ(c.port_bits, port_bits);
    EXPECT_EQ(c.later_status, usb::ResetPort(bus.pdo));
    EXPECT_EQ(0, bus.usb->PendingUrbs(bus.port));
  }
}

TEST_F(UsbBus, UnplugAtAChosenMomentAndAfterTheNthUrb) {
  Boot();
  ASSERT_EQ(STATUS_SUCCESS, Configure());
  auto read = Post(bulk_in, 32);
  const sim::Ticks when = sim::Now() + 7 * kTicksPerMs;
  usb->Faults(port).UnplugAt(when);
  EXPECT_EQ(STATUS_CANCELLED, read->Wait());
  EXPECT_EQ(when, sim::Now());
  EXPECT_FALSE(usb->Connected(port));

  // A second device in the same port leaves after its second URB completed.
  FakeDevice second;
  ASSERT_EQ(port, usb->Plug(&second, Unreported()));
  pdo = usb->Pdo(port);
  usb->Faults(port).UnplugAfterUrbs(2);
  ULONG length = 0;
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorWrite, false, nullptr, &length));
  EXPECT_TRUE(usb->Connected(port));
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorWrite, false, nullptr, &length));
  EXPECT_FALSE(usb->Connected(port));
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Vendor(kVendorWrite, false, nullptr, &length));
  // The port is free again; an occupied one refuses a second plug.
  usb::PlugOptions into_port = Unreported();
  into_port.port = port;
  EXPECT_EQ(port, usb->Plug(&device, into_port));
  EXPECT_EQ(0, usb->Plug(&second, into_port));
  usb->Unplug(port);
}

TEST_F(UsbBus, ResetPortCancelsTransfersResetsTheDeviceAndKeepsItsPipes) {
  Boot();
  ASSERT_EQ(STATUS_SUCCESS, Configure());
  auto read = Post(bulk_in, 32);  // nothing to read: it waits
  world.RunFor(3 * kTicksPerMs);
  usb->Faults(port).StallEndpoint(kBulkIn);
  const sim::Ticks start = sim::Now();
  EXPECT_EQ(STATUS_SUCCESS, usb::ResetPort(pdo));
  EXPECT_GE(sim::Now() - start, usb::kPortResetFrames * kTicksPerMs);
  EXPECT_LE(sim::Now() - start, (usb::kPortResetFrames + 2) * kTicksPerMs);
  EXPECT_EQ(STATUS_CANCELLED, read->Wait());
  EXPECT_EQ(1, device.bus_resets);
  EXPECT_EQ(1, device.configuration);  // the hub selected it again
  // The same handle works, and the reset took the stall away.
  device.Arrive({5, 6});
  auto after = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_SUCCESS, after->Wait());
  EXPECT_EQ(2u, after->Length());
}

TEST_F(UsbBus, PdoTakesDevicePowerRequests) {
  Boot();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(
                pdo, IRP_MN_SET_POWER, d3,
                [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID event, PIO_STATUS_BLOCK status) {
                  EXPECT_EQ(STATUS_SUCCESS, status->Status);
                  KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
                },
                &done, nullptr));
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(PowerDeviceD3, usb->DevicePowerState(port));
  EXPECT_EQ(PowerDeviceD3, kernel::ReportedDevicePowerState(pdo));
}

// ---------------------------------------------------------------------------
// Under the PnP manager, with a function driver that passes everything down.

std::vector<UCHAR>& FdoMinors() {
  static std::vector<UCHAR> minors;
  return minors;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension), irp);
}

// Detaches and deletes its device before the bus sees the removal, which
// deletes the PDO of a device that left.
NTSTATUS NTAPI FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  FdoMinors().push_back(minor);
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI FdoPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(*static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension), irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status))
    return status;
  *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction)
    dispatch = PassDown;
  driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

TEST(UsbPnp, PlugStartsTheBoundDriverAndUnplugRemovesTheStack) {
  World world(QuietWorld());
  FdoMinors().clear();
  kernel::LoadedDriver* driver = kernel::LoadDriver(u"UsbPassDown", DriverEntry);
  ASSERT_NE(nullptr, driver);
  kernel::BindFunctionDriver(u"USB\\VID_1234&PID_5678", driver);
  FakeDevice device;
  {
    usb::HostController usb;
    usb::PlugOptions options;
    options.capabilities.SurpriseRemovalOK = 1;
    options.capabilities.UniqueID = 1;
    const int port = usb.Plug(&device, options);
    ASSERT_NE(0, port);
    PDEVICE_OBJECT pdo = usb.Pdo(port);
    EXPECT_EQ(u"USB\\VID_1234&PID_5678", usb.HardwareId(port));
    EXPECT_EQ(kernel::PnpState::kStarted, kernel::DevicePnpState(pdo));
    ASSERT_NE(nullptr, pdo->AttachedDevice);

    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(STATUS_SUCCESS, kernel::QueryCapabilities(pdo, &caps));
    EXPECT_EQ(1u, caps.Removable);
    EXPECT_EQ(1u, caps.SurpriseRemovalOK);
    EXPECT_EQ(1u, caps.UniqueID);
    EXPECT_EQ(0u, caps.WakeFromD3);
    EXPECT_EQ(static_cast<ULONG>(port), caps.Address);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);

    // A request through the top of the stack, left hanging at unplug.
    usb.Faults(port).HoldNextUrbs(0);
    Posted held;
    UsbBuildVendorRequest(&held.urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, kVendorWrite, 0, 0,
                          nullptr, nullptr, 0, nullptr);
    usb::SubmitUrbAsync(pdo->AttachedDevice, &held.urb, &held.pending);
    world.RunFor(10 * kTicksPerMs);
    EXPECT_FALSE(held.Done());

    usb.Unplug(port);
    EXPECT_EQ(STATUS_CANCELLED, held.Wait());
    EXPECT_EQ(kernel::PnpState::kGone, kernel::DevicePnpState(pdo));
    EXPECT_EQ(nullptr, usb.Pdo(port));
    const std::vector<UCHAR>& minors = FdoMinors();
    ASSERT_GE(minors.size(), 3u);
    EXPECT_EQ(IRP_MN_START_DEVICE, minors.front());
    EXPECT_EQ(IRP_MN_SURPRISE_REMOVAL, minors[minors.size() - 2]);
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, minors.back());

    // Plugged again, then the bus goes away with the device on it.
    ASSERT_EQ(port, usb.Plug(&device));
    EXPECT_EQ(kernel::PnpState::kStarted, kernel::DevicePnpState(usb.Pdo(port)));
    FdoMinors().clear();
  }
  EXPECT_EQ((std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), FdoMinors());
  kernel::UnloadDriver(driver);
}

}  // namespace
}  // namespace vax::test
