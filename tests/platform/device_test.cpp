// Device objects against the documented behaviour: creation, names,
// exclusive, extension, flags, device stacks, detach and delete.
#include <gmock/gmock.h>

#include <cstring>

#include "io_fixture.h"

namespace {

using vax::kernel::RecordingSink;
using vax::kernel::Rule;
using vax::test::IoTest;

class Devices : public IoTest {
 protected:
  NTSTATUS Create(const wchar_t* name, ULONG extension, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    return IoCreateDevice(driver_, extension, name != nullptr ? &text : nullptr,
                          FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, exclusive, device);
  }
};

TEST_F(Devices, CreationGivesAZeroedExtensionOneStackLocationAndTheFlags) {
  struct Case {
    const wchar_t* name;
    ULONG extension;
    BOOLEAN exclusive;
    ULONG flags;
  } cases[] = {
      {L"\\Device\\Serial2", 512, TRUE, DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME},
      {nullptr, 16, FALSE, DO_DEVICE_INITIALIZING},
      {L"\\Device\\Serial3", 0, FALSE, DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME},
  };
  for (const Case& c : cases) {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(c.name, c.extension, c.exclusive, &device));
    EXPECT_EQ(c.flags, device->Flags);
    EXPECT_EQ(1, device->StackSize);
    EXPECT_EQ(driver_, device->DriverObject);
    EXPECT_EQ(device, driver_->DeviceObject);  // the driver's newest device
    EXPECT_EQ(FILE_DEVICE_SERIAL_PORT, device->DeviceType);
    if (c.extension == 0) {
      EXPECT_EQ(nullptr, device->DeviceExtension);
    } else {
      const auto* extension = static_cast<const unsigned char*>(device->DeviceExtension);
      for (ULONG i = 0; i < c.extension; ++i)
        ASSERT_EQ(0, extension[i]) << "byte " << i;
    }
    EXPECT_EQ(vax::kernel::ToU16(c.name), vax::kernel::DeviceName(device));
  }
}

TEST_F(Devices, ATakenNameCollidesUntilItsDeviceIsDeleted) {
  PDEVICE_OBJECT first = nullptr;
  PDEVICE_OBJECT second = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Device\\Serial2", 0, TRUE, &first));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Create(L"\\Device\\Serial2", 0, TRUE, &second));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Create(L"\\device\\SERIAL2", 0, TRUE, &second));
  EXPECT_EQ(nullptr, second);
  IoDeleteDevice(first);
  EXPECT_TRUE(vax::kernel::IsDeviceDeleted(first));
  EXPECT_EQ(nullptr, driver_->DeviceObject);
  EXPECT_EQ(STATUS_SUCCESS, Create(L"\\Device\\Serial2", 0, TRUE, &second));
}

// Each attach goes above the current top, whichever device of the stack is
// named, and returns that top; StackSize counts the devices below plus one.
TEST_F(Devices, AttachingStacksAboveTheTopAndCountsLocations) {
  PDEVICE_OBJECT pdo = AddDevice(nullptr, nullptr, true);
  PDEVICE_OBJECT fdo = AddDevice(nullptr);
  PDEVICE_OBJECT filter = AddDevice(nullptr);
  EXPECT_EQ(pdo, IoAttachDeviceToDeviceStack(fdo, pdo));
  EXPECT_EQ(fdo, IoAttachDeviceToDeviceStack(filter, pdo));
  EXPECT_EQ(2, fdo->StackSize);
  EXPECT_EQ(3, filter->StackSize);
  EXPECT_EQ(fdo, pdo->AttachedDevice);
  EXPECT_EQ(fdo, vax::kernel::LowerDevice(filter));

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  EXPECT_EQ(filter, top);
  ObDereferenceObject(top);

  IoDetachDevice(fdo);
  EXPECT_EQ(nullptr, fdo->AttachedDevice);
  EXPECT_EQ(nullptr, vax::kernel::LowerDevice(filter));
  EXPECT_EQ(fdo, IoGetAttachedDeviceReference(pdo));
}

TEST_F(Devices, NothingAttachesToADeviceStillInitializing) {
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = AddDevice(nullptr);
  ASSERT_EQ(STATUS_SUCCESS, Create(nullptr, 0, FALSE, &lower));
  EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(upper, lower));
  lower->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  EXPECT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
}

TEST_F(Devices, DeletingADeviceStillAttachedIsCaughtAndUndone) {
  RecordingSink sink;
  PDEVICE_OBJECT pdo = AddDevice(nullptr, nullptr, true);
  PDEVICE_OBJECT fdo = AddAbove(pdo, nullptr);
  IoDeleteDevice(fdo);
  ASSERT_EQ(1u, sink.violations().size());
  EXPECT_THAT(sink.violations()[0].message, testing::HasSubstr("IoDetachDevice first"));
  EXPECT_EQ(nullptr, pdo->AttachedDevice);
}

TEST_F(Devices, DevicesNeverDeletedAreReportedAsLeaks) {
  PDEVICE_OBJECT kept = nullptr;
  PDEVICE_OBJECT deleted = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Device\\Kept", 0, FALSE, &kept));
  ASSERT_EQ(STATUS_SUCCESS, Create(L"\\Device\\Deleted", 0, FALSE, &deleted));
  IoDeleteDevice(deleted);
  std::string report;
  vax::kernel::ReportDeviceLeaks(driver_, &report);
  EXPECT_THAT(report, testing::HasSubstr("\\Device\\Kept"));
  EXPECT_THAT(report, testing::Not(testing::HasSubstr("\\Device\\Deleted")));
}

TEST_F(Devices, UsingADeletedDeviceIsCaughtByEveryService) {
  struct Case {
    const char* service;
    void (*use)(PDEVICE_OBJECT deleted, PDEVICE_OBJECT live);
  } cases[] = {
      {"IoDeleteDevice", [](PDEVICE_OBJECT deleted, PDEVICE_OBJECT) { IoDeleteDevice(deleted); }},
      {"IoAttachDeviceToDeviceStack",
       [](PDEVICE_OBJECT deleted, PDEVICE_OBJECT live) {
         EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(live, deleted));
       }},
      {"IoDetachDevice", [](PDEVICE_OBJECT deleted, PDEVICE_OBJECT) { IoDetachDevice(deleted); }},
      {"IoGetAttachedDeviceReference",
       [](PDEVICE_OBJECT deleted, PDEVICE_OBJECT) {
         EXPECT_EQ(nullptr, IoGetAttachedDeviceReference(deleted));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service);
    PDEVICE_OBJECT deleted = AddDevice(nullptr, nullptr, true);
    PDEVICE_OBJECT live = AddDevice(nullptr);
    IoDeleteDevice(deleted);
    RecordingSink sink;
    c.use(deleted, live);
    ASSERT_EQ(1u, sink.violations().size());
    EXPECT_EQ(Rule::kDeletedDeviceUse, sink.violations()[0].rule);
    EXPECT_THAT(sink.violations()[0].message, testing::HasSubstr(c.service));
  }
}

}  // namespace
