// The registry subset against the documented behaviour: RtlWriteRegistryValue,
// RtlDeleteRegistryValue, RtlQueryRegistryValues with its table flags and the
// stored-type rules of RTL_QUERY_REGISTRY_DIRECT, ZwQueryValueKey's buffer
// statuses, device registry keys and ZwClose.
#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <vector>

#include "io_fixture.h"

namespace {

namespace registry = vax::kernel::registry;
using vax::kernel::ToU16;
using vax::kernel::UnicodeString;
using vax::test::IoTest;

constexpr std::u16string_view kService =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Vaxport";
constexpr wchar_t kServicePath[] =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Vaxport";

class Registry : public IoTest {
 protected:
  Registry() { registry::CreateKey(kService); }

  // One DIRECT entry and the terminator.
  NTSTATUS QueryDirect(ULONG relative_to, PCWSTR path, PCWSTR name, PVOID context,
                       ULONG default_type = REG_NONE, PVOID default_data = nullptr,
                       ULONG default_length = 0, ULONG flags = RTL_QUERY_REGISTRY_DIRECT) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = flags;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = context;
    table[0].DefaultType = default_type;
    table[0].DefaultData = default_data;
    table[0].DefaultLength = default_length;
    return RtlQueryRegistryValues(relative_to, path, table, nullptr, nullptr);
  }
};

TEST_F(Registry, WritingCreatesOnlyTheLastKeyOfThePath) {
  WCHAR com3[] = L"COM3";
  EXPECT_EQ(STATUS_SUCCESS,
            RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial2",
                                  REG_SZ, com3, sizeof(com3)));
  const std::u16string serialcomm = std::u16string(registry::kDeviceMap) + u"\\SERIALCOMM";
  EXPECT_EQ(u"COM3", registry::GetString(serialcomm, u"\\Device\\Serial2"));
  EXPECT_EQ(sizeof(com3), registry::GetValue(serialcomm, u"\\device\\serial2")->data.size());
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOPE\\SERIALCOMM", L"x", REG_SZ, com3,
                                  sizeof(com3)));
}

TEST_F(Registry, DeletingAMissingValueIsNotFound) {
  registry::SetDword(kService, u"UserRemoval", 1);
  EXPECT_EQ(STATUS_SUCCESS,
            RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, L"Vaxport", L"UserRemoval"));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, L"Vaxport", L"UserRemoval"));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, L"Missing", L"UserRemoval"));
}

// A DWORD read the way a driver reads a service setting: DIRECT, a default,
// the key optional or not.
TEST_F(Registry, DirectDwordQueriesFollowValueDefaultAndKeyRules) {
  struct Case {
    const char* what;
    ULONG relative_to;
    const wchar_t* path;
    bool value_present;
    ULONG flags;
    NTSTATUS status;
    ULONG result;
  } cases[] = {
      {"value present", RTL_REGISTRY_ABSOLUTE, kServicePath, true, RTL_QUERY_REGISTRY_DIRECT,
       STATUS_SUCCESS, 1},
      {"value missing: default", RTL_REGISTRY_ABSOLUTE, kServicePath, false,
       RTL_QUERY_REGISTRY_DIRECT, STATUS_SUCCESS, 7},
      {"value missing, required", RTL_REGISTRY_ABSOLUTE, kServicePath, false,
       RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, STATUS_OBJECT_NAME_NOT_FOUND, 99},
      {"key missing", RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Nowhere", false,
       RTL_QUERY_REGISTRY_DIRECT, STATUS_OBJECT_NAME_NOT_FOUND, 99},
      {"key missing, optional", RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
       L"\\Registry\\Machine\\Nowhere", false, RTL_QUERY_REGISTRY_DIRECT, STATUS_SUCCESS, 99},
      {"relative to services", RTL_REGISTRY_SERVICES, L"Vaxport", true, RTL_QUERY_REGISTRY_DIRECT,
       STATUS_SUCCESS, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    registry::DeleteValue(kService, u"UserRemoval");
    if (c.value_present)
      registry::SetDword(kService, u"UserRemoval", 1);
    ULONG result = 99;
    ULONG fallback = 7;
    EXPECT_EQ(c.status, QueryDirect(c.relative_to, c.path, L"UserRemoval", &result, REG_DWORD,
                                    &fallback, sizeof(fallback), c.flags));
    EXPECT_EQ(c.result, result);
  }
}

// DIRECT stores by the stored type: strings into a UNICODE_STRING (allocated
// when its buffer is NULL), up to four bytes raw, more behind a size header.
TEST_F(Registry, DirectStoresByTheStoredType) {
  registry::SetString(kService, u"Name", u"COM12");
  UNICODE_STRING allocated{};
  EXPECT_EQ(STATUS_SUCCESS, QueryDirect(RTL_REGISTRY_SERVICES, L"Vaxport", L"Name", &allocated));
  EXPECT_EQ(u"COM12", ToU16(&allocated));
  EXPECT_TRUE(vax::kernel::FindPoolBlock(allocated.Buffer).has_value());
  RtlFreeUnicodeString(&allocated);

  WCHAR small_buffer[3];
  UNICODE_STRING small{0, sizeof(small_buffer), small_buffer};
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            QueryDirect(RTL_REGISTRY_SERVICES, L"Vaxport", L"Name", &small));

  registry::SetValue(kService, u"Two", REG_BINARY, {0xAB, 0xCD});
  unsigned char raw[4] = {1, 2, 3, 4};
  EXPECT_EQ(STATUS_SUCCESS, QueryDirect(RTL_REGISTRY_SERVICES, L"Vaxport", L"Two", raw));
  EXPECT_EQ((std::vector<unsigned char>{0xAB, 0xCD, 3, 4}),
            std::vector<unsigned char>(raw, raw + 4));

  registry::SetValue(kService, u"Six", REG_BINARY, {1, 2, 3, 4, 5, 6});
  struct Case {
    LONG header;
    NTSTATUS status;
    std::vector<unsigned char> stored;
  } cases[] = {
      // Positive size: length, type, then the data.
      {16, STATUS_SUCCESS, {6, 0, 0, 0, REG_BINARY, 0, 0, 0, 1, 2, 3, 4, 5, 6}},
      {13, STATUS_BUFFER_TOO_SMALL, {}},
      // Negative size: the data alone.
      {-8, STATUS_SUCCESS, {1, 2, 3, 4, 5, 6}},
      {-5, STATUS_BUFFER_TOO_SMALL, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size header " << c.header);
    unsigned char buffer[16] = {};
    std::memcpy(buffer, &c.header, sizeof(c.header));
    EXPECT_EQ(c.status, QueryDirect(RTL_REGISTRY_SERVICES, L"Vaxport", L"Six", buffer));
    if (!c.stored.empty()) {
      EXPECT_EQ(c.stored, std::vector<unsigned char>(buffer, buffer + c.stored.size()));
    }
  }
}

// The documented hazard: a REG_SZ where a DWORD was expected is stored as a
// UNICODE_STRING over the DWORD, reaching past its four bytes. TYPECHECK is
// the guard.
TEST_F(Registry, AStringWhereADwordWasExpectedOverrunsTheDword) {
  registry::SetString(kService, u"UserRemoval", u"1");
  struct {
    ULONG dword;
    ULONG padding;
    PWSTR beyond;
  } memory{};
  static_assert(offsetof(UNICODE_STRING, Buffer) == offsetof(decltype(memory), beyond));
  EXPECT_EQ(STATUS_SUCCESS,
            QueryDirect(RTL_REGISTRY_SERVICES, L"Vaxport", L"UserRemoval", &memory.dword));
  EXPECT_NE(nullptr, memory.beyond);  // written past the DWORD: a pool string
  ExFreePool(memory.beyond);

  ULONG dword = 5;
  ULONG fallback = 0;
  EXPECT_EQ(
      STATUS_OBJECT_TYPE_MISMATCH,
      QueryDirect(RTL_REGISTRY_SERVICES, L"Vaxport", L"UserRemoval", &dword,
                  REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT), &fallback,
                  sizeof(fallback), RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK));
  EXPECT_EQ(5u, dword);
}

// Without DIRECT a routine gets each value; a multi-string one string at a
// time; an error from the routine ends the query with that error.
TEST_F(Registry, QueryRoutinesSeeEachValue) {
  registry::SetValue(kService, u"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0});
  struct Seen {
    std::vector<std::u16string> strings;
    NTSTATUS result = STATUS_SUCCESS;
  } seen;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].QueryRoutine = [](PWSTR, ULONG type, PVOID data, ULONG length, PVOID context,
                             PVOID) -> NTSTATUS {
    auto* seen = static_cast<Seen*>(context);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ((vax::kernel::ToU16(static_cast<PCWSTR>(data)).size() + 1) * sizeof(WCHAR), length);
    seen->strings.push_back(vax::kernel::ToU16(static_cast<PCWSTR>(data)));
    return seen->result;
  };
  table[0].Name = const_cast<PWSTR>(L"Multi");
  EXPECT_EQ(STATUS_SUCCESS,
            RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Vaxport", table, &seen, nullptr));
  EXPECT_THAT(seen.strings, testing::ElementsAre(u"a", u"bc"));

  seen = Seen{{}, STATUS_INSUFFICIENT_RESOURCES};
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Vaxport", table, &seen, nullptr));
  EXPECT_EQ(1u, seen.strings.size());
}

class DeviceKeys : public Registry {
 protected:
  DeviceKeys() {
    pdo_ = AddDevice(nullptr, nullptr, true);
    vax::kernel::SetDeviceInstanceId(pdo_, u"USB\\VID_0403&PID_6001\\7");
    registry::SetString(registry::DeviceParametersPath(pdo_), u"PortName", u"COM3");
    EXPECT_EQ(STATUS_SUCCESS,
              IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key_));
  }
  ~DeviceKeys() override {
    if (key_ != nullptr)
      ZwClose(key_);
  }

  PDEVICE_OBJECT pdo_ = nullptr;
  HANDLE key_ = nullptr;
};

TEST_F(DeviceKeys, TheDeviceKeyIsTheInstancesDeviceParameters) {
  EXPECT_EQ(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001\\7"
      u"\\Device Parameters",
      registry::DeviceParametersPath(pdo_));
  HANDLE other = nullptr;
  PDEVICE_OBJECT fdo = AddAbove(pdo_, nullptr);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &other));

  UnicodeString name(u"Baud");
  ULONG baud = 9600;
  EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key_, name, 0, REG_DWORD, &baud, sizeof(baud)));
  EXPECT_EQ(9600u, registry::GetDword(registry::DeviceParametersPath(pdo_), u"Baud"));

  EXPECT_EQ(STATUS_SUCCESS, ZwClose(key_));
  ULONG length = 0;
  EXPECT_EQ(STATUS_INVALID_HANDLE,
            ZwQueryValueKey(key_, name, KeyValuePartialInformation, nullptr, 0, &length));
  key_ = nullptr;
}

// ZwQueryValueKey: too small for the fixed part → BUFFER_TOO_SMALL and
// nothing written; room for the fixed part only → BUFFER_OVERFLOW with it
// filled; both report the size needed.
TEST_F(DeviceKeys, QueryValueKeyReportsTheSizeNeeded) {
  UnicodeString name(u"PortName");
  const ULONG name_bytes = 16;
  const ULONG data_bytes = 10;  // "COM3" and its terminator
  const ULONG full_offset = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + name_bytes;
  const ULONG partial_offset = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  struct Case {
    KEY_VALUE_INFORMATION_CLASS klass;
    ULONG length;
    NTSTATUS status;
  } cases[] = {
      {KeyValueFullInformation, 8, STATUS_BUFFER_TOO_SMALL},
      {KeyValueFullInformation, 24, STATUS_BUFFER_OVERFLOW},
      {KeyValueFullInformation, full_offset + data_bytes, STATUS_SUCCESS},
      {KeyValuePartialInformation, 4, STATUS_BUFFER_TOO_SMALL},
      {KeyValuePartialInformation, partial_offset + 2, STATUS_BUFFER_OVERFLOW},
      {KeyValuePartialInformation, partial_offset + data_bytes, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "class " << c.klass << " length " << c.length);
    alignas(8) unsigned char buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    ULONG needed = 0;
    EXPECT_EQ(c.status, ZwQueryValueKey(key_, name, c.klass, buffer, c.length, &needed));
    const bool full = c.klass == KeyValueFullInformation;
    EXPECT_EQ((full ? full_offset : partial_offset) + data_bytes, needed);
    if (c.status == STATUS_BUFFER_TOO_SMALL) {
      EXPECT_EQ(0xEE, buffer[0]);
      continue;
    }
    if (full) {
      auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
      EXPECT_EQ(ULONG{REG_SZ}, info->Type);
      EXPECT_EQ(full_offset, info->DataOffset);
      EXPECT_EQ(data_bytes, info->DataLength);
      EXPECT_EQ(name_bytes, info->NameLength);
      if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(u"COM3", ToU16(reinterpret_cast<PCWSTR>(buffer + info->DataOffset)));
      }
    } else {
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      EXPECT_EQ(data_bytes, info->DataLength);
      if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(u"COM3", ToU16(reinterpret_cast<PCWSTR>(info->Data)));
      }
    }
  }
  UnicodeString missing(u"Missing");
  ULONG needed = 0;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            ZwQueryValueKey(key_, missing, KeyValuePartialInformation, nullptr, 0, &needed));
}

}  // namespace
