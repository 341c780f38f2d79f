// The WMI library and registration, through the consumer calls, with the
// tiny driver's block: one ULONG per instance, two instances, settable by
// block and by item, and a method.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/wmi_client.h"
#include "tiny_driver.h"

namespace vax::test::tiny {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Ulong(ULONG value) {
  Bytes bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return bytes;
}

// {00000000-0000-0000-0000-000000000001}: a block nobody offers.
DEFINE_GUID(kUnknownGuid, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);

class Wmi : public TinyTest {
 protected:
  void SetUp() override {
    Load();
    device_ = Plug();
  }
  kernel::RootDevice* device_ = nullptr;
};

// Registration is per device object, withdrawn at removal, and the library
// answers WMI's registration request from the driver's QueryWmiRegInfo.
TEST_F(Wmi, RegistrationIsTrackedPerDeviceAndDescribedByRegInfo) {
  PDEVICE_OBJECT fdo = Fdo(device_);
  EXPECT_TRUE(kernel::IsWmiRegistered(fdo));
  EXPECT_FALSE(kernel::IsWmiRegistered(device_->pdo));

  std::optional<kernel::WmiRegistration> registration = kernel::QueryWmiRegistration(device_->pdo);
  ASSERT_TRUE(registration.has_value());
  EXPECT_EQ(fdo, registration->provider);
  EXPECT_EQ(loaded_->service_key, registration->registry_path);
  ASSERT_EQ(1u, registration->guids.size());
  EXPECT_EQ(kBlockGuid, registration->guids[0].guid);
  EXPECT_EQ(kInstances, registration->guids[0].instance_count);
  EXPECT_EQ(ULONG{WMIREG_FLAG_INSTANCE_PDO}, registration->guids[0].flags);
  EXPECT_EQ(device_->pdo, registration->guids[0].pdo);

  EXPECT_EQ(STATUS_SUCCESS, kernel::RemoveDevice(device_->pdo));
  EXPECT_FALSE(kernel::IsWmiRegistered(fdo));
  EXPECT_EQ(std::nullopt, kernel::QueryWmiRegistration(device_->pdo));
  EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND,
            kernel::WmiQuerySingleInstance(device_->pdo, kBlockGuid, 0, 64, nullptr));
}

TEST_F(Wmi, RegistrationControlRefusesWhatItCannotDo) {
  PDEVICE_OBJECT pdo = device_->pdo;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIRegistrationControl(pdo, WMIREG_ACTION_DEREGISTER));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIRegistrationControl(pdo, WMIREG_ACTION_REREGISTER));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIRegistrationControl(pdo, 9));
  EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(pdo, WMIREG_ACTION_REGISTER));
  EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(pdo, WMIREG_ACTION_UPDATE_GUIDS));
  EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(pdo, WMIREG_ACTION_DEREGISTER));
}

TEST_F(Wmi, QueriesReturnTheBlockOrTheSizeItNeeds) {
  struct Case {
    const char* name;
    const GUID* guid;
    ULONG instance;
    ULONG capacity;
    NTSTATUS status;
    Bytes data;
    ULONG needed;
  };
  const Case cases[] = {
      {"instance 0", &kBlockGuid, 0, 16, STATUS_SUCCESS, Ulong(100), 0},
      {"instance 1", &kBlockGuid, 1, 4, STATUS_SUCCESS, Ulong(200), 0},
      {"one byte short", &kBlockGuid, 0, 3, STATUS_BUFFER_TOO_SMALL, {}, 4},
      {"no such instance", &kBlockGuid, 2, 16, STATUS_WMI_INSTANCE_NOT_FOUND, {}, 0},
      {"no such block", &kUnknownGuid, 0, 16, STATUS_WMI_GUID_NOT_FOUND, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes data;
    ULONG needed = 0;
    EXPECT_EQ(c.status, kernel::WmiQuerySingleInstance(device_->pdo, *c.guid, c.instance,
                                                       c.capacity, &data, &needed));
    EXPECT_EQ(c.data, data);
    EXPECT_EQ(c.needed, needed);
  }

  // Every instance at once, each on an 8-byte boundary.
  std::vector<Bytes> instances;
  ULONG needed = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            kernel::WmiQueryAllData(device_->pdo, kBlockGuid, 11, &instances, &needed));
  EXPECT_EQ(12u, needed);
  EXPECT_EQ(STATUS_SUCCESS, kernel::WmiQueryAllData(device_->pdo, kBlockGuid, 12, &instances));
  EXPECT_EQ((std::vector<Bytes>{Ulong(100), Ulong(200)}), instances);
}

TEST_F(Wmi, BlocksItemsAndMethodsReachTheDriver) {
  PDEVICE_OBJECT pdo = device_->pdo;
  EXPECT_EQ(STATUS_SUCCESS, kernel::WmiSetSingleInstance(pdo, kBlockGuid, 1, Ulong(7)));
  EXPECT_EQ(STATUS_WMI_SET_FAILURE, kernel::WmiSetSingleInstance(pdo, kBlockGuid, 1, Bytes{1}));
  EXPECT_EQ(STATUS_SUCCESS, kernel::WmiSetSingleItem(pdo, kBlockGuid, 0, kValueItem, Ulong(5)));
  EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, kernel::WmiSetSingleItem(pdo, kBlockGuid, 0, 9, Ulong(5)));
  std::vector<Bytes> instances;
  EXPECT_EQ(STATUS_SUCCESS, kernel::WmiQueryAllData(pdo, kBlockGuid, 64, &instances));
  EXPECT_EQ((std::vector<Bytes>{Ulong(5), Ulong(7)}), instances);

  Bytes output;
  ULONG needed = 0;
  // The output shares the input's room, so it is never smaller than the input.
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, kernel::WmiExecuteMethod(pdo, kBlockGuid, 1, kAddMethod,
                                                              Ulong(3), 0, &output, &needed));
  EXPECT_EQ(8u, needed);
  EXPECT_EQ(STATUS_SUCCESS,
            kernel::WmiExecuteMethod(pdo, kBlockGuid, 1, kAddMethod, Ulong(3), 8, &output));
  Bytes expected = Ulong(10);
  Bytes before = Ulong(7);
  expected.insert(expected.end(), before.begin(), before.end());
  EXPECT_EQ(expected, output);
}

// A provider without set callbacks is read-only, refused by the library.
TEST_F(Wmi, WithoutSetCallbacksTheBlockIsReadOnly) {
  driver_.behaviour.read_only_wmi = true;
  kernel::RootDevice* read_only = Plug();
  EXPECT_EQ(STATUS_WMI_READ_ONLY,
            kernel::WmiSetSingleInstance(read_only->pdo, kBlockGuid, 0, Ulong(1)));
  EXPECT_EQ(STATUS_WMI_READ_ONLY,
            kernel::WmiSetSingleItem(read_only->pdo, kBlockGuid, 0, kValueItem, Ulong(1)));
  EXPECT_EQ(IrpNotCompleted, driver_.dispositions.back());
}

// What WmiSystemControl tells the driver to do with each kind of request,
// and what the request then comes back with.
TEST_F(Wmi, DispositionsRouteEachRequest) {
  PDEVICE_OBJECT fdo = Fdo(device_);
  const auto provider = reinterpret_cast<ULONG_PTR>(fdo);
  const auto other = reinterpret_cast<ULONG_PTR>(device_->pdo);
  struct Case {
    const char* name;
    UCHAR minor;
    ULONG_PTR provider_id;
    const GUID* guid;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"a query for the driver", IRP_MN_QUERY_SINGLE_INSTANCE, provider, &kBlockGuid, IrpProcessed,
       STATUS_SUCCESS},
      {"registration", IRP_MN_REGINFO_EX, provider, nullptr, IrpNotCompleted, STATUS_SUCCESS},
      {"an unknown block", IRP_MN_QUERY_SINGLE_INSTANCE, provider, &kUnknownGuid, IrpNotCompleted,
       STATUS_WMI_GUID_NOT_FOUND},
      {"events without a control callback", IRP_MN_ENABLE_EVENTS, provider, &kBlockGuid,
       IrpNotCompleted, STATUS_SUCCESS},
      // Passed down; the bus completes what nobody handled with its status
      // unchanged.
      {"another provider's", IRP_MN_QUERY_SINGLE_INSTANCE, other, &kBlockGuid, IrpForward,
       STATUS_NOT_SUPPORTED},
      {"not a WMI request", 0x0A, provider, &kBlockGuid, IrpNotWmi, STATUS_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    alignas(8) std::uint8_t buffer[256] = {};
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
    wnode->WnodeHeader.BufferSize = sizeof(buffer);
    wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    wnode->DataBlockOffset = sizeof(WNODE_SINGLE_INSTANCE);
    const IO_STATUS_BLOCK result =
        kernel::SendWmiRequest(fdo, c.minor, c.provider_id, c.guid, buffer, sizeof(buffer));
    EXPECT_EQ(c.disposition, driver_.dispositions.back());
    EXPECT_EQ(c.status, result.Status);
  }
}

}  // namespace
}  // namespace vax::test::tiny
