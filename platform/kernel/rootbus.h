// A root-enumerated bus for tests: devices that exist only as a PDO of the
// root bus driver (\Driver\PnpManager, as Windows names its root
// enumerator), which answers PnP and power requests as a bus driver does.
//
//   RootDevice* device = CreateRootDevice(u"ROOT\\TESTDEV");
//   registry::SetString(registry::DeviceParametersPath(device->pdo), u"PortName", u"COM5");
//   PlugRootDevice(device);    // AddDevice and start of the bound driver
//   ...
//   UnplugRootDevice(device);  // surprise removal, removal, PDO deleted
//
// The bus, as the last driver of the stack:
// - IRP_MN_START_DEVICE: completes with `start_status`;
// - IRP_MN_QUERY_CAPABILITIES: copies `capabilities` (all but Size and
//   Version) into the caller's structure;
// - the stop and removal requests and surprise removal: succeed;
//   IRP_MN_REMOVE_DEVICE deletes the PDO once the device was unplugged;
// - IRP_MN_SET_POWER: reports and keeps a device state (PoSetPowerState),
//   accepts system states; IRP_MN_QUERY_POWER: completes with
//   `query_power_status`; PoStartNextPowerIrp for each;
// - every other PnP, power or WMI request: completed with its status
//   unchanged, as a bus driver does with requests it does not handle;
// - create, read, write and the rest: STATUS_INVALID_DEVICE_REQUEST (the
//   device has no function driver of its own).
#pragma once

#include <string>
#include <vector>

#include "nt/kernel.h"

namespace vax::kernel {

struct RootDevice {
  PDEVICE_OBJECT pdo = nullptr;  // must not be used once `deleted`
  std::u16string hardware_id;

  // What the bus answers; a test may change them at any time.
  DEVICE_CAPABILITIES capabilities{};
  NTSTATUS start_status = STATUS_SUCCESS;
  NTSTATUS query_power_status = STATUS_SUCCESS;

  // What the bus saw: each PnP and power request that reached the PDO, as
  // "START_DEVICE", "SET_POWER D3", "QUERY_POWER S3".
  std::vector<std::string> requests;
  DEVICE_POWER_STATE power_state = PowerDeviceD0;
  bool present = false;  // plugged in and not unplugged since
  bool deleted = false;  // the PDO is gone (removed after being unplugged)
};

// Creates the PDO (DO_BUS_ENUMERATED_DEVICE, instance id
// "ROOT\<id>\NNNN" so that its registry keys exist) without reporting it.
// Default capabilities: D0 in S0 and D3 in every other system state, no
// wake, Address and UINumber 0xFFFFFFFF, every flag clear. The RootDevice
// lives until the World shuts down.
RootDevice* CreateRootDevice(std::u16string_view hardware_id);
// Reports the device to the PnP manager (ReportDeviceArrival); returns its
// status.
NTSTATUS PlugRootDevice(RootDevice* device);
// Reports it gone (ReportDeviceGone).
void UnplugRootDevice(RootDevice* device);

}  // namespace vax::kernel
