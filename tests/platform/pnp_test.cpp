// The PnP manager and the root bus, driving the tiny driver: arrival, the
// stop and removal sequences with Windows' state rules, surprise removal
// waiting for the last handle, capabilities, and the faults the manager
// names.
#include <gtest/gtest.h>

#include "kernel/rootbus.h"
#include "tiny_driver.h"

namespace vax::test::tiny {
namespace {

using kernel::PnpState;
using Strings = std::vector<std::string>;

class Pnp : public TinyTest {};

TEST_F(Pnp, ArrivalCallsAddDeviceThenStartsTheStackBusFirst) {
  Load();
  kernel::RootDevice* device = kernel::CreateRootDevice(kHardwareId);
  kernel::registry::SetString(kernel::registry::DeviceParametersPath(device->pdo), u"PortName",
                              u"COM5");
  EXPECT_EQ(STATUS_SUCCESS, kernel::PlugRootDevice(device));

  // Start is handled on its way back up; Windows asks for the capabilities
  // of a started stack.
  EXPECT_EQ((Strings{"AddDevice PortName=COM5", "START_DEVICE", "START_DEVICE up",
                     "QUERY_CAPABILITIES", "QUERY_CAPABILITIES up"}),
            driver_.log);
  EXPECT_EQ((Strings{"START_DEVICE", "QUERY_CAPABILITIES"}), device->requests);
  EXPECT_EQ(PnpState::kStarted, kernel::DevicePnpState(device->pdo));
  ASSERT_EQ(1u, driver_.devices.size());
  EXPECT_EQ(driver_.devices[0], Fdo(device));
  EXPECT_EQ(device->pdo, kernel::LowerDevice(Fdo(device)));
}

// A failed start is followed by a removal; the PDO stays while the device is
// plugged in, and reporting it again adds and starts the driver anew.
TEST_F(Pnp, FailedStartIsFollowedByRemovalAndTheDeviceCanComeBack) {
  struct Case {
    const char* name;
    NTSTATUS bus_start;
    NTSTATUS driver_start;
  };
  Load();
  for (Case c : {Case{"bus fails", STATUS_DEVICE_NOT_READY, STATUS_SUCCESS},
                 Case{"driver fails", STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR}}) {
    SCOPED_TRACE(c.name);
    driver_.behaviour.start = c.driver_start;
    kernel::RootDevice* device = kernel::CreateRootDevice(kHardwareId);
    device->start_status = c.bus_start;
    const std::size_t before = driver_.log.size();
    const NTSTATUS expected = NT_SUCCESS(c.bus_start) ? c.driver_start : c.bus_start;
    EXPECT_EQ(expected, kernel::PlugRootDevice(device));
    EXPECT_EQ((Strings{"AddDevice", "START_DEVICE", "START_DEVICE up", "REMOVE_DEVICE"}),
              LogSince(before));
    EXPECT_EQ(PnpState::kRemoved, kernel::DevicePnpState(device->pdo));
    EXPECT_TRUE(kernel::IsDeviceDeleted(driver_.devices.back()));
    EXPECT_FALSE(device->deleted);
    EXPECT_EQ(nullptr, device->pdo->AttachedDevice);

    device->start_status = STATUS_SUCCESS;
    driver_.behaviour.start = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, kernel::ReportDeviceArrival(device->pdo, kHardwareId));
    EXPECT_EQ(PnpState::kStarted, kernel::DevicePnpState(device->pdo));
    EXPECT_EQ(driver_.devices.back(), Fdo(device));
  }
}

TEST_F(Pnp, DevicesWithoutAWorkingDriverKeepOnlyTheirPdo) {
  Load();
  kernel::RootDevice* unbound = kernel::CreateRootDevice(u"ROOT\\NOBODY");
  EXPECT_EQ(STATUS_NOT_FOUND, kernel::PlugRootDevice(unbound));
  EXPECT_EQ(PnpState::kNoDriver, kernel::DevicePnpState(unbound->pdo));

  driver_.behaviour.add_device = STATUS_INSUFFICIENT_RESOURCES;
  kernel::RootDevice* refused = Plug(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(PnpState::kAddFailed, kernel::DevicePnpState(refused->pdo));
  EXPECT_TRUE(refused->requests.empty());  // no start without a function driver

  // Unplugged, each PDO gets its removal and the bus deletes it.
  for (kernel::RootDevice* device : {unbound, refused}) {
    kernel::UnplugRootDevice(device);
    EXPECT_EQ((Strings{"REMOVE_DEVICE"}), device->requests);
    EXPECT_TRUE(device->deleted);
    EXPECT_EQ(PnpState::kGone, kernel::DevicePnpState(device->pdo));
  }
}

// The user's, the applications' and the system's sequences, each with what
// the driver and the bus see and where the device ends up. A vetoed query is
// followed by its cancel, which reaches the bus.
TEST_F(Pnp, SequencesFollowWindowsOrders) {
  using Sequence = NTSTATUS (*)(PDEVICE_OBJECT);
  struct Case {
    const char* name;
    Sequence sequence;
    bool veto;
    NTSTATUS result;
    Strings driver_sees;
    Strings bus_sees;
    PnpState after;
  };
  const Case cases[] = {
      {"remove",
       kernel::RemoveDevice,
       false,
       STATUS_SUCCESS,
       {"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"},
       {"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"},
       PnpState::kRemoved},
      {"remove vetoed",
       kernel::RemoveDevice,
       true,
       STATUS_DEVICE_BUSY,
       {"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"},
       {"CANCEL_REMOVE_DEVICE"},
       PnpState::kStarted},
      {"query-remove, cancel",
       kernel::QueryRemoveThenCancel,
       false,
       STATUS_SUCCESS,
       {"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"},
       {"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"},
       PnpState::kStarted},
      {"rebalance",
       kernel::RebalanceDevice,
       false,
       STATUS_SUCCESS,
       {"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE", "START_DEVICE up"},
       {"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE"},
       PnpState::kStarted},
      {"rebalance vetoed",
       kernel::RebalanceDevice,
       true,
       STATUS_DEVICE_BUSY,
       {"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"},
       {"CANCEL_STOP_DEVICE"},
       PnpState::kStarted},
      {"query-stop, cancel",
       kernel::QueryStopThenCancel,
       false,
       STATUS_SUCCESS,
       {"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"},
       {"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"},
       PnpState::kStarted},
  };
  Load();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver_.behaviour.query_remove = c.veto ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    driver_.behaviour.query_stop = c.veto ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    kernel::RootDevice* device = Plug();
    PDEVICE_OBJECT fdo = Fdo(device);
    const std::size_t driver_before = driver_.log.size();
    const std::size_t bus_before = device->requests.size();

    EXPECT_EQ(c.result, c.sequence(device->pdo));
    EXPECT_EQ(c.driver_sees, LogSince(driver_before));
    EXPECT_EQ(c.bus_sees, Strings(device->requests.begin() + bus_before, device->requests.end()));
    EXPECT_EQ(c.after, kernel::DevicePnpState(device->pdo));
    EXPECT_EQ(c.after == PnpState::kRemoved, kernel::IsDeviceDeleted(fdo));
  }
}

// Requests sent one at a time follow the same rules: only what Windows could
// send in the device's state goes out, and a test can act between steps.
TEST_F(Pnp, SingleRequestsObeyTheStateRules) {
  Load();
  kernel::RootDevice* device = Plug();
  PDEVICE_OBJECT pdo = device->pdo;
  const std::size_t before = driver_.log.size();
  for (UCHAR minor : {IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_START_DEVICE,
                      IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, kernel::SendPnpRequest(pdo, minor))
        << kernel::PnpMinorName(minor);
  }
  EXPECT_EQ(before, driver_.log.size());

  EXPECT_EQ(STATUS_SUCCESS, kernel::SendPnpRequest(pdo, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_EQ(PnpState::kStopPending, kernel::DevicePnpState(pdo));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, kernel::SendPnpRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE));
  EXPECT_EQ(STATUS_SUCCESS, kernel::SendPnpRequest(pdo, IRP_MN_STOP_DEVICE));
  EXPECT_EQ(PnpState::kStopped, kernel::DevicePnpState(pdo));
  EXPECT_EQ(STATUS_SUCCESS, kernel::SendPnpRequest(pdo, IRP_MN_START_DEVICE));
  EXPECT_EQ(PnpState::kStarted, kernel::DevicePnpState(pdo));
  EXPECT_EQ((Strings{"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE", "START_DEVICE up"}),
            LogSince(before));
}

// A second caller waits for the sequence in progress on the device and then
// finds the device in its new state; the two never interleave.
TEST_F(Pnp, OneRequestAtATimePerDevice) {
  driver_.behaviour.query_remove_delay = 10 * sim::kTicksPerMs;
  Load();
  kernel::RootDevice* device = Plug();
  const std::size_t before = driver_.log.size();
  NTSTATUS rebalance = STATUS_PENDING;
  sim::Thread* other = world_.scheduler().Spawn("rebalancer", 8, [&] {
    sim::SleepFor(5 * sim::kTicksPerMs, "rebalancer start");
    rebalance = kernel::RebalanceDevice(device->pdo);
    driver_.log.push_back("rebalance returned");
  });
  EXPECT_EQ(STATUS_SUCCESS, kernel::RemoveDevice(device->pdo));
  world_.scheduler().Join(other);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, rebalance);
  EXPECT_EQ((Strings{"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "rebalance returned"}),
            LogSince(before));
}

// Surprise removal at once; the removal when the last handle closes.
TEST_F(Pnp, SurpriseRemovalWaitsForTheLastHandle) {
  Load();
  for (int handles : {0, 1, 2}) {
    SCOPED_TRACE(handles);
    kernel::RootDevice* device = Plug();
    PDEVICE_OBJECT fdo = Fdo(device);
    for (int i = 0; i < handles; ++i)
      kernel::NoteHandleOpened(fdo);
    EXPECT_EQ(handles, kernel::OpenHandleCount(device->pdo));
    const std::size_t before = driver_.log.size();

    kernel::UnplugRootDevice(device);
    for (int open = handles; open > 0; --open) {
      EXPECT_EQ((Strings{"SURPRISE_REMOVAL"}), LogSince(before));
      EXPECT_EQ(PnpState::kSurpriseRemoved, kernel::DevicePnpState(device->pdo));
      EXPECT_FALSE(kernel::IsDeviceDeleted(fdo));
      kernel::NoteHandleClosed(fdo);
    }
    EXPECT_EQ((Strings{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}), LogSince(before));
    EXPECT_TRUE(device->deleted);
    EXPECT_TRUE(kernel::IsDeviceDeleted(fdo));
    EXPECT_EQ(PnpState::kGone, kernel::DevicePnpState(device->pdo));
  }
}

// The bus fills the capabilities; the driver edits them on the way up; the
// caller gets both, in a structure prepared as Windows prepares it.
TEST_F(Pnp, CapabilitiesComeFromTheBusAndTheDriverOnTheWayUp) {
  driver_.behaviour.surprise_removal_ok = true;
  Load();
  kernel::RootDevice* device = kernel::CreateRootDevice(kHardwareId);
  device->capabilities.Removable = 1;
  device->capabilities.UniqueID = 1;
  device->capabilities.DeviceD2 = 1;
  device->capabilities.DeviceWake = PowerDeviceD2;
  device->capabilities.Address = 5;
  device->capabilities.Size = 1;  // the bus keeps the caller's Size and Version
  ASSERT_EQ(STATUS_SUCCESS, kernel::PlugRootDevice(device));

  DEVICE_CAPABILITIES capabilities;
  ASSERT_EQ(STATUS_SUCCESS, kernel::QueryCapabilities(device->pdo, &capabilities));
  EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), capabilities.Size);
  EXPECT_EQ(1, capabilities.Version);
  EXPECT_EQ(1u, capabilities.Removable);
  EXPECT_EQ(1u, capabilities.UniqueID);
  EXPECT_EQ(1u, capabilities.DeviceD2);
  EXPECT_EQ(1u, capabilities.SurpriseRemovalOK);  // the driver's
  EXPECT_EQ(0u, capabilities.LockSupported);
  EXPECT_EQ(PowerDeviceD2, capabilities.DeviceWake);
  EXPECT_EQ(5u, capabilities.Address);
  EXPECT_EQ(PowerDeviceD0, capabilities.DeviceState[PowerSystemWorking]);
  EXPECT_EQ(PowerDeviceD3, capabilities.DeviceState[PowerSystemSleeping3]);

  // Without a function driver only the bus answers.
  kernel::RootDevice* bare = kernel::CreateRootDevice(u"ROOT\\NOBODY");
  kernel::PlugRootDevice(bare);
  ASSERT_EQ(STATUS_SUCCESS, kernel::QueryCapabilities(bare->pdo, &capabilities));
  EXPECT_EQ(0u, capabilities.SurpriseRemovalOK);
  EXPECT_EQ(0xFFFFFFFFu, capabilities.UINumber);
}

// Driver faults the manager finds at PnP time, each named in its report.
TEST_F(Pnp, DriverFaultsAreReportedByName) {
  struct Case {
    const char* name;
    void (*plant)(Behaviour&);
    const char* reported;
  };
  const Case cases[] = {
      {"initializing flag kept", [](Behaviour& b) { b.leave_initializing = true; },
       "still has DO_DEVICE_INITIALIZING after AddDevice"},
      {"device kept at removal", [](Behaviour& b) { b.keep_device_on_remove = true; },
       "is still there after IRP_MN_REMOVE_DEVICE"},
      {"deleted while registered with WMI", [](Behaviour& b) { b.stay_wmi_registered = true; },
       "was deleted while registered with WMI"},
      {"removal failed", [](Behaviour& b) { b.remove = STATUS_UNSUCCESSFUL; },
       "IRP_MN_REMOVE_DEVICE failed"},
  };
  Load();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver_.behaviour = Behaviour{};
    c.plant(driver_.behaviour);
    kernel::RecordingSink sink;
    kernel::RootDevice* device = Plug();
    kernel::RemoveDevice(device->pdo);
    bool found = false;
    for (const kernel::Violation& v : sink.violations()) {
      found = found || v.message.find(c.reported) != std::string::npos;
    }
    EXPECT_TRUE(found) << "expected a report containing \"" << c.reported << "\"";
  }
}

}  // namespace
}  // namespace vax::test::tiny
