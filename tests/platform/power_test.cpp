// The power manager with the tiny driver and the root bus: system
// transitions, device requests with PoRequestPowerIrp, the states drivers
// report, and the PoStartNextPowerIrp rule.
#include <gtest/gtest.h>

#include "kernel/power.h"
#include "tiny_driver.h"

namespace vax::test::tiny {
namespace {

using Strings = std::vector<std::string>;

class Power : public TinyTest {};

// Each way down: the driver turns the system request into a D3 request of
// its own, finished (callback included) before the system request reaches
// the bus; the way back up mirrors it with D0.
TEST_F(Power, SleepAndWakeSendSystemRequestsThatBecomeDeviceRequests) {
  struct Case {
    SYSTEM_POWER_STATE state;
    POWER_ACTION action;
    bool queried;  // a shutdown cannot be refused, so it is not asked
  };
  const Case cases[] = {
      {PowerSystemSleeping1, PowerActionSleep, true},
      {PowerSystemSleeping2, PowerActionSleep, true},
      {PowerSystemSleeping3, PowerActionSleep, true},
      {PowerSystemHibernate, PowerActionHibernate, true},
      {PowerSystemShutdown, PowerActionShutdown, false},
  };
  Load();
  kernel::RootDevice* device = Plug();
  PDEVICE_OBJECT fdo = Fdo(device);
  for (const Case& c : cases) {
    const std::string s = kernel::SystemPowerStateName(c.state);
    SCOPED_TRACE(s);
    std::size_t before = driver_.log.size();
    device->requests.clear();
    driver_.shutdown_types.clear();

    EXPECT_EQ(STATUS_SUCCESS, kernel::SetSystemPowerState(c.state));
    Strings down{"SET_POWER " + s, "SET_POWER D3", "callback D3"};
    Strings bus_down{"SET_POWER D3", "SET_POWER " + s};
    if (c.queried) {
      down.insert(down.begin(), "QUERY_POWER " + s);
      bus_down.insert(bus_down.begin(), "QUERY_POWER " + s);
    }
    EXPECT_EQ(down, LogSince(before));
    EXPECT_EQ(bus_down, device->requests);
    EXPECT_EQ(c.state, kernel::CurrentSystemPowerState());
    EXPECT_EQ(PowerDeviceD3, kernel::ReportedDevicePowerState(fdo));
    EXPECT_EQ(PowerDeviceD3, device->power_state);
    EXPECT_EQ(std::vector<POWER_ACTION>{c.action}, driver_.shutdown_types);

    before = driver_.log.size();
    device->requests.clear();
    EXPECT_EQ(STATUS_SUCCESS, kernel::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ((Strings{"SET_POWER S0", "SET_POWER D0", "SET_POWER D0 up", "callback D0"}),
              LogSince(before));
    EXPECT_EQ((Strings{"SET_POWER D0", "SET_POWER S0"}), device->requests);
    EXPECT_EQ(PowerDeviceD0, kernel::ReportedDevicePowerState(fdo));
  }
  EXPECT_EQ(PASSIVE_LEVEL, driver_.highest_power_irql);
}

TEST_F(Power, TransitionsFollowTheSystemState) {
  Load();
  Plug();
  EXPECT_EQ(STATUS_SUCCESS, kernel::SetSystemPowerState(PowerSystemWorking));  // already there
  EXPECT_EQ(5u, driver_.timeline.size());  // AddDevice, start and capabilities only
  EXPECT_EQ(STATUS_SUCCESS, kernel::SetSystemPowerState(PowerSystemSleeping3));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, kernel::SetSystemPowerState(PowerSystemHibernate));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, kernel::SetSystemPowerState(PowerSystemMaximum));
  EXPECT_EQ(PowerSystemSleeping3, kernel::CurrentSystemPowerState());
}

// Newest device first on the way down, oldest first on the way up; a veto
// of the query leaves every stack told that the system stays working.
TEST_F(Power, StacksAreOrderedAndAVetoIsUndone) {
  Load();
  kernel::RootDevice* older = Plug();
  Plug();
  driver_.timeline.clear();
  ASSERT_EQ(STATUS_SUCCESS, kernel::SetSystemPowerState(PowerSystemSleeping1));
  ASSERT_EQ(STATUS_SUCCESS, kernel::SetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ((Strings{"#1 QUERY_POWER S1", "#0 QUERY_POWER S1", "#1 SET_POWER S1", "#1 SET_POWER D3",
                     "callback D3", "#0 SET_POWER S1", "#0 SET_POWER D3", "callback D3",
                     "#0 SET_POWER S0", "#0 SET_POWER D0", "#0 SET_POWER D0 up", "callback D0",
                     "#1 SET_POWER S0", "#1 SET_POWER D0", "#1 SET_POWER D0 up", "callback D0"}),
            driver_.timeline);

  driver_.timeline.clear();
  older->query_power_status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, kernel::SetSystemPowerState(PowerSystemHibernate));
  EXPECT_EQ(PowerSystemWorking, kernel::CurrentSystemPowerState());
  EXPECT_EQ((Strings{"#1 QUERY_POWER S4", "#0 QUERY_POWER S4", "#1 SET_POWER S0", "#1 SET_POWER D0",
                     "#1 SET_POWER D0 up", "callback D0", "#0 SET_POWER S0", "#0 SET_POWER D0",
                     "#0 SET_POWER D0 up", "callback D0"}),
            driver_.timeline);
}

struct Completion {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  IO_STATUS_BLOCK status{};
};

void NTAPI RecordCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                            PIO_STATUS_BLOCK status) {
  auto* completion = static_cast<Completion*>(context);
  ++completion->calls;
  completion->device = device;
  completion->minor = minor;
  completion->state = state;
  completion->status = *status;
}

// STATUS_PENDING means the callback runs, before the call returns if the
// stack finished at once, later if a driver held the request.
TEST_F(Power, RequestedDeviceIrpsCallBackWhenTheStackIsDone) {
  Load();
  kernel::RootDevice* device = Plug();
  PDEVICE_OBJECT fdo = Fdo(device);
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;

  Completion at_once;
  PIRP irp = nullptr;
  EXPECT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(device->pdo, IRP_MN_SET_POWER, d2, RecordCompletion, &at_once, &irp));
  EXPECT_NE(nullptr, irp);
  EXPECT_EQ(1, at_once.calls);
  EXPECT_EQ(device->pdo, at_once.device);  // as given, though sent to the top of the stack
  EXPECT_EQ(IRP_MN_SET_POWER, at_once.minor);
  EXPECT_EQ(PowerDeviceD2, at_once.state.DeviceState);
  EXPECT_EQ(STATUS_SUCCESS, at_once.status.Status);
  EXPECT_EQ("SET_POWER D2", driver_.log.back());
  EXPECT_EQ(PowerDeviceD2, device->power_state);

  driver_.behaviour.pend_device_query_power = true;
  Completion later;
  EXPECT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(fdo, IRP_MN_QUERY_POWER, d2, RecordCompletion, &later, nullptr));
  EXPECT_EQ(0, later.calls);
  CompletePended(STATUS_DEVICE_BUSY);
  EXPECT_EQ(1, later.calls);
  EXPECT_EQ(STATUS_DEVICE_BUSY, later.status.Status);

  Completion refused;
  for (UCHAR minor : {UCHAR{IRP_MN_POWER_SEQUENCE}, UCHAR{0x07}}) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER_2,
              PoRequestPowerIrp(fdo, minor, d2, RecordCompletion, &refused, nullptr));
  }
  EXPECT_EQ(0, refused.calls);
}

// A pageable stack gets its power IRPs at PASSIVE_LEVEL even when a driver
// asks at DISPATCH_LEVEL.
TEST_F(Power, RequestsMadeAtDispatchLevelAreDeliveredAtPassiveLevel) {
  Load();
  kernel::RootDevice* device = Plug();
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  Completion completion;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(device->pdo, IRP_MN_SET_POWER, d3, RecordCompletion,
                                              &completion, nullptr));
  KeLowerIrql(old);
  world_.RunFor(sim::kTicksPerMs);
  EXPECT_EQ(1, completion.calls);
  EXPECT_EQ(PowerDeviceD3, device->power_state);
  EXPECT_EQ(PASSIVE_LEVEL, driver_.highest_power_irql);
}

TEST_F(Power, SetPowerStateReturnsThePreviousState) {
  Load();
  PDEVICE_OBJECT fdo = Fdo(Plug());
  EXPECT_EQ(std::nullopt, kernel::ReportedDevicePowerState(fdo));
  POWER_STATE state;
  for (auto [set, previous] :
       {std::pair{PowerDeviceD2, PowerDeviceD0}, std::pair{PowerDeviceD3, PowerDeviceD2},
        std::pair{PowerDeviceD0, PowerDeviceD3}}) {
    state.DeviceState = set;
    EXPECT_EQ(previous, PoSetPowerState(fdo, DevicePowerState, state).DeviceState);
    EXPECT_EQ(set, kernel::ReportedDevicePowerState(fdo));
  }
}

TEST_F(Power, AMissingPoStartNextPowerIrpIsNamed) {
  driver_.behaviour.skip_start_next_power = true;
  Load();
  Plug();
  kernel::RecordingSink sink;
  kernel::SetSystemPowerState(PowerSystemSleeping3);
  ASSERT_EQ(1u, sink.violations().size());
  const std::string& report = sink.violations()[0].message;
  EXPECT_NE(std::string::npos, report.find("without calling PoStartNextPowerIrp")) << report;
  EXPECT_NE(std::string::npos, report.find("SET_POWER D3")) << report;
  EXPECT_NE(std::string::npos, report.find("\\Driver\\Tiny")) << report;
}

}  // namespace
}  // namespace vax::test::tiny
