// A booted test bed with one test driver whose devices hand every request to
// a lambda, for the I/O manager, pool, namespace and registry tests.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "kernel/checks.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "nt/kernel.h"
#include "world/world.h"

namespace vax::test {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

inline WorldOptions QuietWorld() {
  WorldOptions options;
  options.announce = false;
  return options;
}

inline NTSTATUS NTAPI DispatchToHandler(PDEVICE_OBJECT device, PIRP irp) {
  return (**static_cast<Handler**>(device->DeviceExtension))(device, irp);
}

// A pool tag that reads `text` in memory, as 'pxaV' reads "Vaxp".
constexpr ULONG Tag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class IoTest : public ::testing::Test {
 protected:
  // The World boots an empty I/O system and empties it again at shutdown.
  IoTest() : world_(QuietWorld()) {
    driver_ = kernel::CreateDriverObject(u"TestDrv");
    for (PDRIVER_DISPATCH& dispatch : driver_->MajorFunction)
      dispatch = DispatchToHandler;
  }

  // A device of the test driver, initialised (DO_DEVICE_INITIALIZING clear);
  // `pdo` marks it as a bus driver's PDO.
  PDEVICE_OBJECT AddDevice(Handler handler, const wchar_t* name = nullptr, bool pdo = false) {
    handlers_.push_back(std::move(handler));
    UNICODE_STRING device_name;
    RtlInitUnicodeString(&device_name, name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver_, sizeof(Handler*), name != nullptr ? &device_name : nullptr,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    *static_cast<Handler**>(device->DeviceExtension) = &handlers_.back();
    device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
    if (pdo)
      device->Flags |= DO_BUS_ENUMERATED_DEVICE;
    return device;
  }

  // A device stacked on `lower` (the attach result is checked).
  PDEVICE_OBJECT AddAbove(PDEVICE_OBJECT lower, Handler handler) {
    PDEVICE_OBJECT device = AddDevice(std::move(handler));
    EXPECT_NE(nullptr, IoAttachDeviceToDeviceStack(device, lower));
    return device;
  }

  World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::deque<Handler> handlers_;  // stable addresses, referenced by extensions
};

}  // namespace vax::test
