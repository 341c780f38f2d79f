// Driver loading and unloading the way Windows does it, with the tiny driver.
#include <gtest/gtest.h>

#include "tiny_driver.h"

namespace vax::test::tiny {
namespace {

using Strings = std::vector<std::string>;

class Loader : public TinyTest {};

TEST_F(Loader, DriverEntryGetsTheServiceKeyAndItsValues) {
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tiny";
  kernel::registry::SetDword(key, u"UserRemoval", 1);
  kernel::LoadedDriver* driver = Load();
  ASSERT_NE(nullptr, driver);
  EXPECT_EQ(key, driver_.registry_path);
  EXPECT_EQ(key, driver->service_key);
  EXPECT_EQ(u"\\Driver\\Tiny", kernel::ToU16(&driver->object->DriverName));
  EXPECT_EQ(1u, driver_.user_removal);
}

TEST_F(Loader, TheServiceKeyExistsWithoutValuesForAFreshDriver) {
  Load();
  EXPECT_TRUE(kernel::registry::KeyExists(loaded_->service_key));
  EXPECT_EQ(0u, driver_.user_removal);  // the driver's default for a missing value
}

// Major functions the driver leaves alone fail without reaching it.
TEST_F(Loader, UnsetMajorFunctionsFailWithInvalidDeviceRequest) {
  Load();
  kernel::RootDevice* device = Plug();
  const std::size_t before = driver_.log.size();
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_FLUSH_BUFFERS,
                      IRP_MJ_QUERY_VOLUME_INFORMATION, IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP}) {
    SCOPED_TRACE(major);
    IO_STATUS_BLOCK status{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = kernel::BuildRequest(major, 0, Fdo(device), nullptr, &status, &done);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoCallDriver(Fdo(device), irp));
  }
  EXPECT_EQ(before, driver_.log.size());
}

// A failing DriverEntry leaves no driver behind and gets no DriverUnload;
// what it allocated and did not free is reported like any unload leak.
TEST_F(Loader, FailedDriverEntryUnloadsNothingAndFreesTheName) {
  driver_.behaviour.entry = STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(nullptr, kernel::LoadDriver(u"Tiny", DriverEntry, &status));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
  EXPECT_TRUE(driver_.log.empty());

  driver_.behaviour.leak_pool_in_entry = true;
  {
    kernel::RecordingSink sink;
    EXPECT_EQ(nullptr, kernel::LoadDriver(u"Tiny", DriverEntry, &status));
    ASSERT_TRUE(sink.Saw(kernel::Rule::kLeakAtUnload));
    EXPECT_NE(std::string::npos, sink.violations()[0].message.find("Tiny"));
  }

  driver_.behaviour = Behaviour{};
  EXPECT_NE(nullptr, Load());
}

TEST_F(Loader, ANameCanBeLoadedOnlyOnce) {
  Load();
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(nullptr, kernel::LoadDriver(u"TINY", DriverEntry, &status));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, status);
}

// Unload removes the devices the driver still serves, then calls
// DriverUnload, then checks that nothing is left.
TEST_F(Loader, UnloadRemovesDevicesThenUnloadsThenChecks) {
  Load();
  kernel::RootDevice* first = Plug();
  kernel::RootDevice* second = Plug();
  kernel::RemoveDevice(first->pdo);  // already removed: not removed twice
  const std::size_t before = driver_.log.size();
  Unload();
  EXPECT_EQ((Strings{"REMOVE_DEVICE", "Unload"}), LogSince(before));
  EXPECT_EQ(kernel::PnpState::kRemoved, kernel::DevicePnpState(second->pdo));

  // The binding went with the driver.
  EXPECT_EQ(STATUS_NOT_FOUND, kernel::ReportDeviceArrival(second->pdo, kHardwareId));
}

TEST_F(Loader, UnloadReportsWhatTheDriverLeft) {
  driver_.behaviour.leak_pool_in_add_device = true;
  Load();
  Plug();
  kernel::RecordingSink sink;
  Unload();
  ASSERT_TRUE(sink.Saw(kernel::Rule::kLeakAtUnload));
  EXPECT_NE(std::string::npos, sink.violations()[0].message.find("Tiny"));
}

}  // namespace
}  // namespace vax::test::tiny
