// The power manager as the tests and the platform use it: system power
// transitions sent to every device stack, and what drivers reported. Drivers
// see only PoCallDriver, PoStartNextPowerIrp, PoSetPowerState and
// PoRequestPowerIrp.
#pragma once

#include <optional>
#include <string>

#include "nt/kernel.h"

namespace vax::kernel {

// Moves the system to `state` as Windows does, from the calling thread at
// PASSIVE_LEVEL, one stack at a time, each request waited for:
// - to a sleeping or hibernate state (from the working state):
//   IRP_MN_QUERY_POWER to every stack, newest device first; if one fails,
//   IRP_MN_SET_POWER for the working state goes to every stack that was
//   queried and the call returns the veto; otherwise IRP_MN_SET_POWER for
//   `state` to every stack, newest first;
// - to shutdown (from the working state): IRP_MN_SET_POWER only, as a
//   shutdown cannot be refused;
// - to the working state (from any other): IRP_MN_SET_POWER, oldest first,
//   so that a bus is powered before the devices on it.
// Stacks are the started devices of the PnP manager (PoweredStacks). Every
// system request carries Parameters.Power.ShutdownType (PowerActionSleep,
// PowerActionHibernate, PowerActionShutdown; PowerActionNone when waking),
// and so do the device requests drivers make with PoRequestPowerIrp during
// the transition. Asking for the current state does nothing; moving from one
// sleeping state to another without waking returns
// STATUS_INVALID_DEVICE_STATE.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemPowerState();

// The device state `device` last reported with PoSetPowerState; nullopt if
// it never did.
std::optional<DEVICE_POWER_STATE> ReportedDevicePowerState(PDEVICE_OBJECT device);

// "S0".."S5" for the working, sleeping, hibernate and shutdown states;
// "D0".."D3" for device states.
const char* SystemPowerStateName(SYSTEM_POWER_STATE state);
const char* DevicePowerStateName(DEVICE_POWER_STATE state);
// A power request as logs show it: "SET_POWER D3", "QUERY_POWER S3",
// "WAIT_WAKE S3", "POWER_SEQUENCE".
std::string DescribePowerRequest(const IO_STACK_LOCATION* location);

}  // namespace vax::kernel
