// The object namespace and device interfaces against the documented
// behaviour: symbolic links with collisions, name lookup through links,
// interface registration and the enable/disable statuses.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "io_fixture.h"

namespace {

using vax::kernel::DeviceInterface;
using vax::kernel::ToU16;
using vax::kernel::UnicodeString;
using vax::test::IoTest;

DEFINE_GUID(GUID_DEVINTERFACE_COMPORT, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E,
            0x30, 0x1F, 0x73);

class Names : public IoTest {};

TEST_F(Names, SymbolicLinksCollideAndDeleteOnce) {
  PDEVICE_OBJECT serial = AddDevice(nullptr, L"\\Device\\Serial2");
  UnicodeString link(u"\\DosDevices\\COM8");
  UnicodeString same_link(u"\\??\\com8");
  UnicodeString target(u"\\Device\\Serial2");
  struct Step {
    const char* what;
    NTSTATUS (*call)(PUNICODE_STRING link, PUNICODE_STRING target);
    PUNICODE_STRING link;
    NTSTATUS expected;
  } steps[] = {
      {"create", [](PUNICODE_STRING l, PUNICODE_STRING t) { return IoCreateSymbolicLink(l, t); },
       link, STATUS_SUCCESS},
      {"create again",
       [](PUNICODE_STRING l, PUNICODE_STRING t) { return IoCreateSymbolicLink(l, t); }, link,
       STATUS_OBJECT_NAME_COLLISION},
      {"create under another spelling",
       [](PUNICODE_STRING l, PUNICODE_STRING t) { return IoCreateSymbolicLink(l, t); }, same_link,
       STATUS_OBJECT_NAME_COLLISION},
      {"delete", [](PUNICODE_STRING l, PUNICODE_STRING) { return IoDeleteSymbolicLink(l); }, link,
       STATUS_SUCCESS},
      {"delete again", [](PUNICODE_STRING l, PUNICODE_STRING) { return IoDeleteSymbolicLink(l); },
       link, STATUS_OBJECT_NAME_NOT_FOUND},
      {"create after delete",
       [](PUNICODE_STRING l, PUNICODE_STRING t) { return IoCreateSymbolicLink(l, t); }, same_link,
       STATUS_SUCCESS},
  };
  for (const Step& step : steps)
    EXPECT_EQ(step.expected, step.call(step.link, target)) << step.what;

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(serial, vax::kernel::ResolveDevice(u"\\??\\COM8", &status));
  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(u"\\Device\\Serial2", vax::kernel::SymbolicLinkTarget(u"\\DosDevices\\COM8"));
  EXPECT_THAT(vax::kernel::ObjectNames(u"\\DosDevices"), testing::ElementsAre(u"com8"));
  EXPECT_EQ(nullptr, vax::kernel::ResolveDevice(u"\\??\\COM9", &status));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
}

TEST_F(Names, ALinkOutlivesItsDeviceButNoLongerResolves) {
  PDEVICE_OBJECT serial = AddDevice(nullptr, L"\\Device\\Serial2");
  UnicodeString link(u"\\DosDevices\\COM3");
  UnicodeString target(u"\\Device\\Serial2");
  ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(link, target));
  IoDeleteDevice(serial);
  EXPECT_EQ(nullptr, vax::kernel::ResolveDevice(u"\\DosDevices\\COM3"));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(link, target));
}

class Interfaces : public IoTest {
 protected:
  Interfaces() {
    pdo_ = AddDevice(nullptr, nullptr, true);
    vax::kernel::SetDeviceInstanceId(pdo_, u"USB\\VID_0403&PID_6001\\5&2A3F&0&1");
    hook_ = vax::kernel::AddDeviceInterfaceHook(
        [this](const DeviceInterface& changed) { events_.push_back(changed); });
  }
  ~Interfaces() override { vax::kernel::RemoveDeviceInterfaceHook(hook_); }

  PDEVICE_OBJECT pdo_ = nullptr;
  int hook_ = 0;
  std::vector<DeviceInterface> events_;
};

TEST_F(Interfaces, RegistrationNamesTheInstanceAndClassAndRepeatsTheName) {
  UNICODE_STRING first{};
  UNICODE_STRING again{};
  EXPECT_EQ(STATUS_SUCCESS,
            IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &first));
  EXPECT_EQ(u"\\??\\USB#VID_0403&PID_6001#5&2A3F&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
            ToU16(&first));
  EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS,
            IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &again));
  EXPECT_EQ(ToU16(&first), ToU16(&again));
  // The names are pool charged to the caller, freed with RtlFreeUnicodeString.
  EXPECT_TRUE(vax::kernel::FindPoolBlock(first.Buffer).has_value());
  RtlFreeUnicodeString(&first);
  RtlFreeUnicodeString(&again);
  EXPECT_EQ(nullptr, first.Buffer);
  EXPECT_TRUE(vax::kernel::PoolBlocks().empty());
  // Registered interfaces start disabled.
  ASSERT_EQ(1u, vax::kernel::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT).size());
  EXPECT_FALSE(vax::kernel::DeviceInterfaces()[0].enabled);
  EXPECT_TRUE(events_.empty());
}

TEST_F(Interfaces, OnlyAPdoCanRegister) {
  PDEVICE_OBJECT fdo = AddAbove(pdo_, nullptr);
  UNICODE_STRING name{};
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            IoRegisterDeviceInterface(fdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &name));
  EXPECT_EQ(nullptr, name.Buffer);
}

// Enable and disable report the documented statuses; each real change links
// or unlinks the name and notifies the hooks once.
TEST_F(Interfaces, StateChangesNotifyOnceAndRepeatedOnesFail) {
  UNICODE_STRING name{};
  ASSERT_EQ(STATUS_SUCCESS,
            IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &name));
  struct Step {
    BOOLEAN enable;
    NTSTATUS expected;
    std::size_t events;
    bool linked;
  } steps[] = {
      {TRUE, STATUS_SUCCESS, 1, true},
      {TRUE, STATUS_OBJECT_NAME_EXISTS, 1, true},
      {FALSE, STATUS_SUCCESS, 2, false},
      {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, 2, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "enable " << int(step.enable));
    EXPECT_EQ(step.expected, IoSetDeviceInterfaceState(&name, step.enable));
    EXPECT_EQ(step.events, events_.size());
    EXPECT_EQ(step.linked ? pdo_ : nullptr, vax::kernel::ResolveDevice(ToU16(&name)));
  }
  ASSERT_EQ(2u, events_.size());
  EXPECT_TRUE(events_[0].enabled);
  EXPECT_FALSE(events_[1].enabled);
  EXPECT_EQ(ToU16(&name), events_[1].symbolic_link);
  EXPECT_TRUE(events_[1].class_guid == GUID_DEVINTERFACE_COMPORT);

  UnicodeString unknown(u"\\??\\ROOT#NOTHING#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(unknown, TRUE));
  RtlFreeUnicodeString(&name);
}

TEST_F(Interfaces, DeletingThePdoDisablesItsInterfaces) {
  UNICODE_STRING name{};
  ASSERT_EQ(STATUS_SUCCESS,
            IoRegisterDeviceInterface(pdo_, &GUID_DEVINTERFACE_COMPORT, nullptr, &name));
  ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));
  IoDeleteDevice(pdo_);
  ASSERT_EQ(2u, events_.size());
  EXPECT_FALSE(events_[1].enabled);
  RtlFreeUnicodeString(&name);
}

}  // namespace
