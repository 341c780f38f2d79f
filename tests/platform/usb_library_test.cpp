// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx
// against their documented results.
#include <gtest/gtest.h>

#include <vector>

#include "nt/usb.h"
#include "usb_fixture.h"
#include "world/world.h"

namespace vax::test {
namespace {

// Two interfaces: 0/0 (class 0xFF, 2 endpoints), 0/1 (alternate, class 0xFF,
// protocol 5, 1 endpoint) and 1/0 (class 0x0A, no endpoint), with a class
// descriptor in between.
std::vector<std::uint8_t> TwoInterfaceSet() {
  std::vector<std::uint8_t> set = {9, 2,    0,    0,    2,    1,    0, 0x80, 0x32,  //
                                   9, 4,    0,    0,    2,    0xFF, 0, 0,    0,     // interface 0/0
                                   7, 5,    0x81, 2,    64,   0,    0,              //
                                   7, 5,    0x01, 2,    64,   0,    0,              //
                                   5, 0x24, 0,    0x10, 0x01,  // a class-specific descriptor
                                   9, 4,    0,    1,    1,    0xFF, 0, 5,    0,   // interface 0/1
                                   7, 5,    0x82, 3,    8,    0,    4,            //
                                   9, 4,    1,    0,    0,    0x0A, 0, 0,    0};  // interface 1/0
  set[2] = static_cast<std::uint8_t>(set.size());
  return set;
}

constexpr std::size_t kInterface00 = 9;
constexpr std::size_t kInterface01 = 9 + 9 + 7 + 7 + 5;
constexpr std::size_t kInterface10 = kInterface01 + 9 + 7;
constexpr std::ptrdiff_t kNone = -1;

TEST(UsbdParseConfigurationDescriptorEx, FindsTheFirstInterfaceMatchingEveryCriterion) {
  std::vector<std::uint8_t> set = TwoInterfaceSet();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  struct Case {
    std::size_t start;
    LONG number, alternate, klass, subclass, protocol;
    std::ptrdiff_t expected;  // offset of the interface found, or kNone
  };
  const Case cases[] = {
      {0, -1, -1, -1, -1, -1, kInterface00},
      {0, 0, 1, -1, -1, -1, kInterface01},
      {0, -1, -1, 0x0A, -1, -1, kInterface10},
      {0, -1, -1, 0xFF, -1, 5, kInterface01},
      {0, 2, -1, -1, -1, -1, kNone},
      {0, -1, -1, 0xFF, 1, -1, kNone},
      // The search starts at StartPosition: past the first interface, the
      // next one matching anything is the alternate setting.
      {kInterface00 + 9, -1, -1, -1, -1, -1, kInterface01},
      {kInterface10, 0, -1, -1, -1, -1, kNone},
  };
  for (const Case& c : cases) {
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
        config, set.data() + c.start, c.number, c.alternate, c.klass, c.subclass, c.protocol);
    const std::ptrdiff_t offset =
        found == nullptr ? kNone : reinterpret_cast<std::uint8_t*>(found) - set.data();
    EXPECT_EQ(c.expected, offset) << "start " << c.start << " interface " << c.number << "/"
                                  << c.alternate << " class " << c.klass;
  }
}

TEST(UsbdParseConfigurationDescriptorEx, StaysWithinTotalLengthAndStopsAtABrokenDescriptor) {
  std::vector<std::uint8_t> set = TwoInterfaceSet();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  // wTotalLength ending before interface 1/0 hides it.
  config->wTotalLength = static_cast<USHORT>(kInterface10);
  EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1));
  // A zero-length descriptor ends the walk instead of looping on it.
  config->wTotalLength = static_cast<USHORT>(set.size());
  set[kInterface00 + 9] = 0;
  EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1));
  EXPECT_NE(nullptr, USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1));
}

TEST(UsbdCreateConfigurationRequestEx, BuildsOneEntryPerListedInterfaceSizedForItsPipes) {
  World world(QuietWorld());
  std::vector<std::uint8_t> set = TwoInterfaceSet();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
  list[1].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);

  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(nullptr, urb);
  EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
  // Two interfaces with two pipes between them.
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2), urb->UrbHeader.Length);
  EXPECT_EQ(config, urb->UrbSelectConfiguration.ConfigurationDescriptor);

  PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
  EXPECT_EQ(&urb->UrbSelectConfiguration.Interface, first);
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(2), first->Length);
  EXPECT_EQ(0, first->InterfaceNumber);
  EXPECT_EQ(2u, first->NumberOfPipes);
  for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
    EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, first->Pipes[i].MaximumTransferSize);
    EXPECT_EQ(nullptr, first->Pipes[i].PipeHandle);
  }
  PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(first) + first->Length,
            reinterpret_cast<std::uint8_t*>(second));
  EXPECT_EQ(1, second->InterfaceNumber);
  EXPECT_EQ(0u, second->NumberOfPipes);
  EXPECT_LE(reinterpret_cast<std::uint8_t*>(second) + second->Length,
            reinterpret_cast<std::uint8_t*>(urb) + urb->UrbHeader.Length);
  ExFreePool(urb);
}

TEST(UsbdCreateConfigurationRequestEx, OneInterfaceOfThreePipesHasTheDocumentedSize) {
  World world(QuietWorld());
  FakeDevice device;
  std::vector<std::uint8_t> set = device.ConfigurationDescriptor();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(nullptr, urb);
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3), urb->UrbHeader.Length);
  ExFreePool(urb);
  // An empty list selects nothing.
  USBD_INTERFACE_LIST_ENTRY empty[1] = {};
  EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(config, empty));
}

}  // namespace
}  // namespace vax::test
