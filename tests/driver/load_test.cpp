// Loading and unloading the driver: the dispatch table, the "UserRemoval"
// setting, and an unload that leaves nothing behind.
#include "driver_fixture.h"

#include "kernel/faults.h"

namespace vax::test {
namespace {

class Loading : public DriverTest {};

TEST_F(Loading, InstallsTheDispatchTableAndLeavesTheRestToTheIoManager) {
  ASSERT_NE(nullptr, Load());
  PDRIVER_OBJECT driver = driver_->object;
  EXPECT_EQ(DispatchWrite, driver->MajorFunction[IRP_MJ_WRITE]);
  EXPECT_EQ(DispatchWrite, driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS]);
  EXPECT_EQ(DispatchPnp, driver->MajorFunction[IRP_MJ_PNP]);
  EXPECT_EQ(AddDevice, driver->DriverExtension->AddDevice);
  EXPECT_EQ(DriverUnload, driver->DriverUnload);

  // Requests without a routine of the driver fail in the I/O manager.
  const Plugged plugged = Plug();
  ASSERT_EQ(STATUS_SUCCESS, plugged.arrival);
  PDEVICE_OBJECT port = PortFor(plugged);
  for (UCHAR major : {IRP_MJ_SHUTDOWN, IRP_MJ_QUERY_VOLUME_INFORMATION}) {
    SCOPED_TRACE(major);
    IO_STATUS_BLOCK io_status{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = kernel::BuildRequest(major, 0, port, nullptr, &io_status, &done);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoCallDriver(port, irp));
  }
}

// The setting is read once at load; only a 4-byte REG_DWORD counts. A value
// of another type must not be written over the 4-byte setting (the address
// sanitizer stands guard over the variable).
TEST_F(Loading, UserRemovalIsTheServiceKeysDwordOrZero) {
  struct Case {
    const char* name;
    std::optional<registry::Value> value;
    ULONG expected;
  };
  auto dword = [](ULONG v) {
    return registry::Value{
        REG_DWORD,
        {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}};
  };
  const Case cases[] = {
      {"absent", std::nullopt, 0},
      {"one", dword(1), 1},
      {"zero", dword(0), 0},
      {"string", registry::Value{REG_SZ, {'1', 0, '2', 0, '3', 0, '4', 0, '5', 0, 0, 0}}, 0},
      {"binary of eight bytes", registry::Value{REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}}, 0},
      {"short dword", registry::Value{REG_DWORD, {1, 0}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    registry::DeleteValue(ServiceKey(), u"UserRemoval");
    if (c.value)
      registry::SetValue(ServiceKey(), u"UserRemoval", c.value->type, c.value->data);
    UserRemoval = 0xDEADBEEF;
    ASSERT_NE(nullptr, Load());
    EXPECT_EQ(c.expected, UserRemoval);
    Unload();
  }
}

// The query copies the path into a buffer of 255 characters and a
// terminator; a longer path is refused whole rather than cut or overrun.
TEST_F(Loading, AServiceKeyPathTooLongToQueryCountsAsNoUserRemoval) {
  const std::u16string name(210, u'V');
  const std::u16string key = std::u16string(registry::kServices) + u"\\" + name;
  ASSERT_GT(key.size(), 255u);
  registry::SetDword(key, u"UserRemoval", 1);
  NTSTATUS status = STATUS_PENDING;
  driver_ = kernel::LoadDriver(name, DriverEntry, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(0u, UserRemoval);
  EXPECT_EQ(key, Text(&ServiceKeyPath));
}

TEST_F(Loading, WithoutPoolForTheServiceKeyCopyTheDriverDoesNotLoad) {
  kernel::FaultPlan plan;
  plan.mode = kernel::FaultPlan::Mode::kNth;
  plan.nth = 1;
  kernel::ScopedFault fault(kernel::AllocationKind::kPool, plan);
  NTSTATUS status = STATUS_PENDING;
  EXPECT_EQ(nullptr, kernel::LoadDriver(kServiceName, DriverEntry, &status));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
}

// Ports of every generation, started and then removed by the unload; the
// unload check fails the test on any pool, thread, IRP, timer or DPC left.
TEST_F(Loading, UnloadRemovesEveryPortAndLeavesNothing) {
  ASSERT_NE(nullptr, Load());
  for (std::uint8_t version : {0x01, 0x20, 0x30}) {
    ChipPlug plug;
    plug.version = version;
    EXPECT_EQ(STATUS_SUCCESS, Plug(plug).arrival);
  }
  EXPECT_EQ(3, PortCount());
  const ULONG serial_count = IoGetConfigurationInformation()->SerialCount;
  EXPECT_EQ(3u, serial_count);

  Unload();
  EXPECT_EQ(0, PortCount());
  EXPECT_EQ(nullptr, GlobalDriverObject);
  EXPECT_EQ(0u, IoGetConfigurationInformation()->SerialCount);
  EXPECT_TRUE(registry::ValueNames(SerialCommKey()).empty());
  for (const kernel::DeviceInterface& interface : ComPortInterfaces())
    EXPECT_FALSE(interface.enabled);
}

}  // namespace
}  // namespace vax::test
