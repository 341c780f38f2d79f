// How ports are named, how names are taken over from a port that is going
// away, how many ports there can be, and what a port that cannot be created
// leaves behind (nothing).
#include <algorithm>

#include "driver_fixture.h"
#include "kernel/boot.h"

namespace vax::test {
namespace {

// Names another driver of the system holds.
class OtherDriver {
 public:
  OtherDriver() : object_(kernel::CreateDriverObject(u"OtherSerial")) {}

  void TakeDevice(std::u16string_view name) {
    kernel::DriverScope scope(object_);
    kernel::UnicodeString device_name(name);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(object_, 0, device_name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device));
  }
  void TakeComName(std::u16string_view com_name) {
    kernel::DriverScope scope(object_);
    kernel::UnicodeString link(u"\\DosDevices\\" + std::u16string(com_name));
    kernel::UnicodeString target(u"\\Device\\OtherSerial");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(link, target));
  }

 private:
  PDRIVER_OBJECT object_;
};

std::u16string Com(int n) {
  return u"COM" + Number(static_cast<unsigned>(n));
}
std::u16string Serial(int n) {
  return u"\\Device\\Serial" + Number(static_cast<unsigned>(n));
}
std::vector<std::u16string> Range(std::u16string (*name)(int), int first, int last) {
  std::vector<std::u16string> names;
  for (int n = first; n <= last; ++n)
    names.push_back(name(n));
  return names;
}
std::vector<std::u16string> Join(std::vector<std::u16string> a, std::vector<std::u16string> b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// REG_SZ data of `units` characters, with or without a terminator.
std::vector<std::uint8_t> NameBytes(int units, bool terminated) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < units; ++i)
    bytes.insert(bytes.end(), {std::uint8_t('A' + i % 26), 0});
  if (terminated)
    bytes.insert(bytes.end(), {0, 0});
  return bytes;
}
std::u16string NameText(int units) {
  std::u16string text;
  for (int i = 0; i < units; ++i)
    text.push_back(static_cast<char16_t>(u'A' + i % 26));
  return text;
}

std::vector<std::uint8_t> PortName(std::u16string_view text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text)
    bytes.insert(bytes.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

struct NamingCase {
  explicit NamingCase(const char* name) : name(name) {}
  NamingCase& SerialCount(ULONG n) {
    serial_count = n;
    return *this;
  }
  NamingCase& PortNameData(std::vector<std::uint8_t> data) {
    port_name = std::move(data);
    return *this;
  }
  NamingCase& DevicesTaken(std::vector<std::u16string> names) {
    devices_taken = std::move(names);
    return *this;
  }
  NamingCase& ComNamesTaken(std::vector<std::u16string> names) {
    com_names_taken = std::move(names);
    return *this;
  }
  NamingCase& Gives(std::u16string device, std::u16string com) {
    device_name = std::move(device);
    com_name = std::move(com);
    return *this;
  }
  NamingCase& Fails(NTSTATUS failure) {
    status = failure;
    return *this;
  }

  const char* name;
  ULONG serial_count = 0;
  std::optional<std::vector<std::uint8_t>> port_name;
  std::vector<std::u16string> devices_taken;
  std::vector<std::u16string> com_names_taken;
  NTSTATUS status = STATUS_SUCCESS;
  std::u16string device_name;  // on success
  std::u16string com_name;
};

// Names the case in test listings.
void PrintTo(const NamingCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<NamingCase> NamingCases() {
  return {
      NamingCase("first serial port of the system").Gives(Serial(2), u"COM8"),
      NamingCase("four ports before").SerialCount(4).Gives(Serial(4), u"COM8"),
      NamingCase("nine ports before").SerialCount(9).Gives(Serial(9), u"COM10"),
      NamingCase("PortName COM3").PortNameData(PortName(u"COM3")).Gives(Serial(2), u"COM3"),
      NamingCase("device name taken").DevicesTaken({Serial(2)}).Gives(Serial(19), u"COM20"),
      NamingCase("device names up to 20 taken: one COM name attempt from COM22")
          .DevicesTaken({Serial(2), Serial(19), Serial(20)})
          .Gives(Serial(21), u"COM22"),
      NamingCase("every device name taken")
          .DevicesTaken(Join({Serial(2)}, Range(Serial, 19, 63)))
          .Fails(STATUS_OBJECT_NAME_COLLISION),
      NamingCase("COM8 taken").ComNamesTaken({u"COM8"}).Gives(Serial(2), u"COM9"),
      NamingCase("COM8 to COM20 taken").ComNamesTaken(Range(Com, 8, 20)).Gives(Serial(2), u"COM21"),
      NamingCase("COM8 to COM21 taken")
          .ComNamesTaken(Range(Com, 8, 21))
          .Fails(STATUS_OBJECT_NAME_COLLISION),
      NamingCase("PortName taken: no second name")
          .PortNameData(PortName(u"COM3"))
          .ComNamesTaken({u"COM3"})
          .Fails(STATUS_OBJECT_NAME_COLLISION),
      NamingCase("PortName over 64 bytes")
          .PortNameData(NameBytes(32, true))
          .Gives(Serial(2), u"COM8"),
      NamingCase("PortName of 20 characters")
          .PortNameData(NameBytes(20, true))
          .Gives(Serial(2), NameText(20)),
      NamingCase("PortName of 21 characters: no room for the link")
          .PortNameData(NameBytes(21, true))
          .Fails(STATUS_OBJECT_NAME_INVALID),
      NamingCase("PortName of 64 bytes without a terminator")
          .PortNameData(NameBytes(32, false))
          .Fails(STATUS_OBJECT_NAME_INVALID),
  };
}

class Naming : public DriverTest, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(Naming, PortGetsItsNamesOrLeavesNothing) {
  const NamingCase& c = GetParam();
  OtherDriver other;
  for (const std::u16string& name : c.devices_taken)
    other.TakeDevice(name);
  for (const std::u16string& name : c.com_names_taken)
    other.TakeComName(name);
  IoGetConfigurationInformation()->SerialCount = c.serial_count;
  ASSERT_NE(nullptr, Load());

  ChipPlug plug;
  plug.port_name_bytes = c.port_name;
  const Plugged plugged = Plug(plug);
  ASSERT_EQ(c.status, plugged.arrival);
  PDEVICE_OBJECT port = PortFor(plugged);

  if (!NT_SUCCESS(c.status)) {
    EXPECT_EQ(nullptr, port);
    EXPECT_EQ(kernel::PnpState::kAddFailed, kernel::DevicePnpState(plugged.pdo));
    EXPECT_EQ(c.serial_count, IoGetConfigurationInformation()->SerialCount);
    EXPECT_TRUE(registry::ValueNames(SerialCommKey()).empty());
    EXPECT_TRUE(ComPortInterfaces().empty());
    return;
  }
  ASSERT_NE(nullptr, port);
  EXPECT_EQ(c.serial_count + 1, IoGetConfigurationInformation()->SerialCount);
  EXPECT_EQ(c.device_name, Text(&PortOf(port)->DeviceName));
  EXPECT_EQ(c.device_name, kernel::DeviceName(port));
  EXPECT_EQ(c.com_name, Text(&PortOf(port)->ComName));
  EXPECT_EQ(c.device_name, LinkTarget(c.com_name));
  EXPECT_EQ(c.com_name, SerialComm(c.device_name));
  EXPECT_EQ(std::vector<std::u16string>{c.device_name}, registry::ValueNames(SerialCommKey()));
  const std::vector<kernel::DeviceInterface> interfaces = ComPortInterfaces();
  ASSERT_EQ(1u, interfaces.size());
  EXPECT_EQ(plugged.pdo, interfaces[0].pdo);
  EXPECT_EQ(Text(&PortOf(port)->InterfaceName), interfaces[0].symbolic_link);
}

INSTANTIATE_TEST_SUITE_P(Cases, Naming, ::testing::ValuesIn(NamingCases()), CaseName<NamingCase>);

class Ports : public DriverTest {};

// A started port is an exclusive serial device above the chip's PDO, with
// its three threads waiting and its COM-port interface enabled.
TEST_F(Ports, APortIsAnExclusiveSerialDeviceWithThreeThreads) {
  ASSERT_NE(nullptr, Load());
  const Plugged plugged = Plug();
  ASSERT_EQ(STATUS_SUCCESS, plugged.arrival);
  PDEVICE_OBJECT port = PortFor(plugged);
  ASSERT_NE(nullptr, port);
  EXPECT_EQ(ULONG{FILE_DEVICE_SERIAL_PORT}, port->DeviceType);
  EXPECT_EQ(
      ULONG{DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE},
      port->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE | DO_DEVICE_INITIALIZING));
  EXPECT_EQ(plugged.pdo, kernel::LowerDevice(port));
  EXPECT_EQ(3, PortOf(port)->ThreadCount);
  EXPECT_TRUE(PortOf(port)->Started);
  ASSERT_EQ(1u, ComPortInterfaces().size());
  EXPECT_TRUE(ComPortInterfaces()[0].enabled);
}

// The first port the system finds still holding a name is only ever one
// whose removal was accepted while an application keeps it open. A new port
// that wants that name takes the link and the SERIALCOMM value over, and
// keeps them when the old port finally goes.
TEST_F(Ports, ANewPortTakesItsNameOverFromAPortStillHeldOpen) {
  ASSERT_NE(nullptr, Load());
  ChipPlug com5;
  com5.port_name = u"COM5";
  const Plugged old_chip = Plug(com5);
  ASSERT_EQ(STATUS_SUCCESS, old_chip.arrival);
  PDEVICE_OBJECT old_port = PortFor(old_chip);
  const std::u16string old_name = Text(&PortOf(old_port)->DeviceName);
  kernel::NoteHandleOpened(old_port);
  Unplug(old_chip);
  ASSERT_EQ(kernel::PnpState::kSurpriseRemoved, kernel::DevicePnpState(old_chip.pdo));
  EXPECT_EQ(old_name, LinkTarget(u"COM5"));

  const Plugged new_chip = Plug(com5);
  ASSERT_EQ(STATUS_SUCCESS, new_chip.arrival);
  const std::u16string new_name = Text(&PortOf(PortFor(new_chip))->DeviceName);
  EXPECT_NE(old_name, new_name);
  EXPECT_EQ(new_name, LinkTarget(u"COM5"));
  EXPECT_EQ(u"COM5", SerialComm(new_name));
  EXPECT_EQ(std::nullopt, SerialComm(old_name));
  EXPECT_EQ(nullptr, PortOf(old_port)->DosLinkName.Buffer);

  kernel::NoteHandleClosed(old_port);  // the application lets go: the old port is destroyed
  EXPECT_EQ(kernel::PnpState::kGone, kernel::DevicePnpState(old_chip.pdo));
  EXPECT_EQ(new_name, LinkTarget(u"COM5"));
  EXPECT_EQ(u"COM5", SerialComm(new_name));
}

// A stale port is only robbed of the name the new port wants: a port whose
// own name is taken by someone else fails without touching it.
TEST_F(Ports, AStalePortKeepsANameNobodyAsksFor) {
  OtherDriver other;
  other.TakeComName(u"COM3");
  ASSERT_NE(nullptr, Load());
  ChipPlug com5;
  com5.port_name = u"COM5";
  const Plugged old_chip = Plug(com5);
  PDEVICE_OBJECT old_port = PortFor(old_chip);
  const std::u16string old_name = Text(&PortOf(old_port)->DeviceName);
  kernel::NoteHandleOpened(old_port);
  Unplug(old_chip);

  ChipPlug com3;
  com3.port_name = u"COM3";
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Plug(com3).arrival);
  EXPECT_EQ(old_name, LinkTarget(u"COM5"));
  EXPECT_EQ(u"COM5", SerialComm(old_name));

  kernel::NoteHandleClosed(old_port);
  EXPECT_EQ(std::nullopt, LinkTarget(u"COM5"));
  EXPECT_EQ(std::nullopt, SerialComm(old_name));
}

TEST_F(Ports, SixteenPortsAtMostAndAFreedSlotIsTakenAgain) {
  ASSERT_NE(nullptr, Load());
  // Fallback names run out after COM21, so these ports have names of their own.
  auto named = [](int i) {
    ChipPlug plug;
    plug.port_name = Com(30 + i);
    return plug;
  };
  std::vector<Plugged> plugged;
  for (int i = 0; i < kMaxPorts; ++i) {
    plugged.push_back(Plug(named(i)));
    ASSERT_EQ(STATUS_SUCCESS, plugged.back().arrival) << "port " << i;
  }
  EXPECT_EQ(kMaxPorts, PortCount());
  EXPECT_EQ(ULONG{kMaxPorts}, IoGetConfigurationInformation()->SerialCount);

  EXPECT_EQ(STATUS_NO_MORE_ENTRIES, Plug(named(kMaxPorts)).arrival);
  EXPECT_EQ(ULONG{kMaxPorts}, IoGetConfigurationInformation()->SerialCount);

  const int freed = SlotOf(PortFor(plugged[5]));
  Unplug(plugged[5]);
  EXPECT_EQ(kMaxPorts - 1, PortCount());
  EXPECT_EQ(nullptr, PortTable[freed]);

  const Plugged again = Plug(named(kMaxPorts + 1));
  ASSERT_EQ(STATUS_SUCCESS, again.arrival);
  EXPECT_EQ(freed, SlotOf(PortFor(again)));
}

// A port that cannot have its threads is refused whole: no name, no value,
// no interface, no count left behind (and the unload finds no thread).
TEST_F(Ports, APortWithoutItsThreadsIsRefused) {
  ASSERT_NE(nullptr, Load());
  kernel::FailThreadCreations(1);
  const Plugged plugged = Plug();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, plugged.arrival);
  EXPECT_EQ(nullptr, PortFor(plugged));
  EXPECT_EQ(0u, IoGetConfigurationInformation()->SerialCount);
  EXPECT_EQ(std::nullopt, LinkTarget(u"COM8"));
  EXPECT_TRUE(registry::ValueNames(SerialCommKey()).empty());

  EXPECT_EQ(STATUS_SUCCESS, Plug().arrival);
  EXPECT_EQ(Serial(2), LinkTarget(u"COM8"));
}

}  // namespace
}  // namespace vax::test
