// Ports for the QZ719PT tests, made the way the system makes them: a device
// on the root bus whose hardware key holds its PortName, and whose function
// driver links \DosDevices\<name> to its device and enables its COM port
// interface once started, so that the system broadcasts the port's arrival
// and removal to top-level windows.
//
// Tests reach ports only through MakePort and RemovePort and the Win32 calls
// an application makes. A fixture that makes Vaxport's ports instead (a chip
// plugged into the USB host controller) overrides those two and runs the same
// tests; such ports carry Vaxport's identification word only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "kernel/io.h"
#include "kernel/pnp.h"
#include "kernel/rootbus.h"
#include "nt/kernel.h"
#include "nt/serial.h"
#include "qz719pt.h"
#include "world/world.h"

namespace vax::test::portlib {

constexpr ULONG kVaxportWord = 0x515A5623;
constexpr ULONG kCompatibleWord = 0x515A5612;

// What a port's driver answers to IOCTL_SERIAL_GET_PROPERTIES.
struct Properties {
  ULONG prov_spec2 = kVaxportWord;
  NTSTATUS status = STATUS_SUCCESS;  // a failure completes the request without data
};

// Retrieves and dispatches the calling thread's messages for `milliseconds`
// of virtual time, as an idle application's loop does. Broadcasts reach the
// thread's windows only while it does this.
inline void Pump(DWORD milliseconds = 10) {
  const DWORD end = GetTickCount() + milliseconds;
  MSG message;
  do {
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageA(&message);
    Sleep(1);
  } while (GetTickCount() < end);
}

// The library's state lives as long as the process, not the World: every
// test leaves notification off, from the thread that owns the window.
class PortFixture : public ::testing::Test {
 protected:
  PortFixture() : world_(Quiet()) {}
  ~PortFixture() override { QZ719PtSetDevNotify(nullptr, nullptr); }

  // A port named `name` ("COM3") arrives and answers the properties request
  // with `properties`.
  virtual void MakePort(std::u16string_view name, Properties properties = {}) = 0;
  // The port named `name` is unplugged.
  virtual void RemovePort(std::u16string_view name) = 0;

  static WorldOptions Quiet() {
    WorldOptions options;
    options.announce = false;
    return options;
  }

  World world_;
};

// ---------------------------------------------------------------------------
// The test port's driver. It keeps nothing of its own: each device extension
// points at the fixture's record of the port.

struct TestPort {
  std::u16string name;
  Properties properties;
  kernel::RootDevice* root = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  UNICODE_STRING interface_link{};  // allocated by IoRegisterDeviceInterface
};

inline std::vector<std::unique_ptr<TestPort>>* test_ports = nullptr;

inline TestPort* PortOf(PDEVICE_OBJECT device) {
  return *static_cast<TestPort**>(device->DeviceExtension);
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline std::u16string DosDevicesLink(const TestPort& port) {
  return u"\\DosDevices\\" + port.name;
}

inline NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) {
  return CompleteWith(irp, STATUS_SUCCESS);
}

inline NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
  if (parameters.IoControlCode != IOCTL_SERIAL_GET_PROPERTIES)
    return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  const Properties& answer = PortOf(device)->properties;
  if (!NT_SUCCESS(answer.status))
    return CompleteWith(irp, answer.status);
  if (parameters.OutputBufferLength < sizeof(SERIAL_COMMPROP))
    return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
  SERIAL_COMMPROP properties{};
  properties.PacketLength = sizeof(SERIAL_COMMPROP);
  properties.PacketVersion = 2;
  properties.ServiceMask = SERIAL_SP_SERIALCOMM;
  properties.ProvSubType = SERIAL_SP_RS232;
  properties.ProvSpec2 = answer.prov_spec2;
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &properties, sizeof(properties));
  return CompleteWith(irp, STATUS_SUCCESS, sizeof(properties));
}

inline NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  TestPort* port = PortOf(device);
  PDEVICE_OBJECT lower = port->lower;
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      // The bus starts first; the port is announced once it has.
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
      if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      const NTSTATUS status = irp->IoStatus.Status;
      if (NT_SUCCESS(status))
        IoSetDeviceInterfaceState(&port->interface_link, TRUE);
      return CompleteWith(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&port->interface_link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // Disabling twice (after a surprise removal) is harmless.
      IoSetDeviceInterfaceState(&port->interface_link, FALSE);
      RtlFreeUnicodeString(&port->interface_link);
      kernel::UnicodeString link(DosDevicesLink(*port));
      IoDeleteSymbolicLink(link);
      // Gone before the bus sees the removal, which may delete the PDO.
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

inline NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(PortOf(device)->lower, irp);
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  TestPort* port = nullptr;
  for (const std::unique_ptr<TestPort>& candidate : *test_ports) {
    if (candidate->root->pdo == pdo)
      port = candidate.get();
  }
  if (port == nullptr)
    return STATUS_NO_SUCH_DEVICE;
  kernel::UnicodeString name(u"\\Device\\PortlibTest" + port->name);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(TestPort*), name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  if (!NT_SUCCESS(status))
    return status;
  *static_cast<TestPort**>(device->DeviceExtension) = port;
  kernel::UnicodeString link(DosDevicesLink(*port));
  status = IoCreateSymbolicLink(link, name);
  if (NT_SUCCESS(status)) {
    status =
        IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &port->interface_link);
    if (!NT_SUCCESS(status))
      IoDeleteSymbolicLink(link);
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  port->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  return STATUS_SUCCESS;
}

// The ports of the test driver. Unloading it at the end removes the ports a
// test left and runs the driver checks (pool, devices, IRPs).
class TestPortFixture : public PortFixture {
 protected:
  static constexpr std::u16string_view kHardwareId = u"ROOT\\QZ719PTTEST";

  TestPortFixture() {
    test_ports = &ports_;
    driver_ = kernel::LoadDriver(u"PortlibTest", DriverEntry);
    kernel::BindFunctionDriver(kHardwareId, driver_);
  }
  ~TestPortFixture() override {
    kernel::UnloadDriver(driver_);
    test_ports = nullptr;
  }

  void MakePort(std::u16string_view name, Properties properties = {}) override {
    auto port = std::make_unique<TestPort>();
    port->name = name;
    port->properties = properties;
    port->root = kernel::CreateRootDevice(kHardwareId);
    // What the ports class installer writes for the driver to name its port.
    namespace registry = kernel::registry;
    registry::SetString(registry::DeviceParametersPath(port->root->pdo), u"PortName", name);
    ports_.push_back(std::move(port));
    EXPECT_EQ(STATUS_SUCCESS, kernel::PlugRootDevice(ports_.back()->root));
  }

  void RemovePort(std::u16string_view name) override {
    for (const std::unique_ptr<TestPort>& port : ports_) {
      if (port->name == name && port->root->present) {
        kernel::UnplugRootDevice(port->root);
        return;
      }
    }
    ADD_FAILURE() << "no port " << kernel::Narrow(name) << " to remove";
  }

  kernel::LoadedDriver* driver_ = nullptr;
  std::vector<std::unique_ptr<TestPort>> ports_;
};

}  // namespace vax::test::portlib
