// Configuration at start: the descriptors a chip shows, the pipes the port
// takes and the generation it learns; and the return to the unconfigured
// state.
#include "driver_fixture.h"

namespace vax::test {
namespace {

constexpr std::uint8_t kInterruptEndpoint = 0x81;
constexpr std::uint8_t kBulkOutEndpoint = 0x02;
constexpr std::uint8_t kBulkInEndpoint = 0x82;

void DropEndpoint(Qz719Descriptors* d, std::uint8_t address) {
  std::erase_if(d->endpoints, [&](const auto& e) { return e.bEndpointAddress == address; });
}
// A class-specific descriptor after the endpoints, so that the whole set is
// `total` bytes long.
void PadTo(Qz719Descriptors* d, std::size_t total) {
  const std::size_t bytes = total - d->ConfigurationBytes().size();
  d->trailing.assign(bytes, 0);
  d->trailing[0] = static_cast<std::uint8_t>(bytes);
  d->trailing[1] = 0x24;
}

struct ConfigureCase {
  const char* name;
  std::uint8_t version;
  void (*descriptors)(Qz719Descriptors*);
  bool empty_version_answer;
  NTSTATUS status;
  ULONG chip_version;   // on success
  bool interrupt_pipe;  // on success
  bool version_asked;
};

// Names the case in test listings.
void PrintTo(const ConfigureCase& c, std::ostream* os) {
  *os << c.name;
}

const ConfigureCase kConfigureCases[] = {
    {"generation 1", 0x01, nullptr, false, STATUS_SUCCESS, 1, true, false},
    {"generation 0x20", 0x20, nullptr, false, STATUS_SUCCESS, 0x20, true, true},
    {"generation 0x30", 0x30, nullptr, false, STATUS_SUCCESS, 0x30, true, true},
    {"bMaxPower 0x40 makes generation 1 whatever the chip", 0x30,
     [](Qz719Descriptors* d) { d->bMaxPower = 0x40; }, false, STATUS_SUCCESS, 1, true, false},
    {"bMaxPower 0x31 and a version answer 0x30 0x00", 0x30,
     [](Qz719Descriptors* d) { d->bMaxPower = 0x31; }, false, STATUS_SUCCESS, 0x30, true, true},
    {"an empty version answer keeps 0x20", 0x30, nullptr, true, STATUS_SUCCESS, 0x20, true, true},
    {"a version request refused fails the start", 0x01,
     [](Qz719Descriptors* d) { d->bMaxPower = 0x31; }, false, STATUS_UNSUCCESSFUL, 0, false, true},
    {"no interrupt endpoint", 0x30,
     [](Qz719Descriptors* d) { DropEndpoint(d, kInterruptEndpoint); }, false, STATUS_SUCCESS, 0x30,
     false, true},
    {"no bulk-in endpoint", 0x30, [](Qz719Descriptors* d) { DropEndpoint(d, kBulkInEndpoint); },
     false, STATUS_NO_SUCH_DEVICE, 0, false, false},
    {"no bulk-out endpoint", 0x01, [](Qz719Descriptors* d) { DropEndpoint(d, kBulkOutEndpoint); },
     false, STATUS_NO_SUCH_DEVICE, 0, false, false},
    // The reader and the writer move 32-byte packets on every generation.
    {"64-byte bulk packets on generation 1", 0x01,
     [](Qz719Descriptors* d) { d->endpoints[1].wMaxPacketSize = 64; }, false, STATUS_NO_SUCH_DEVICE,
     0, false, false},
    {"64-byte bulk packets on generation 0x30", 0x30,
     [](Qz719Descriptors* d) { d->endpoints[2].wMaxPacketSize = 64; }, false, STATUS_NO_SUCH_DEVICE,
     0, false, false},
    {"a descriptor set of 255 bytes", 0x30, [](Qz719Descriptors* d) { PadTo(d, 255); }, false,
     STATUS_SUCCESS, 0x30, true, true},
    {"a descriptor set of 256 bytes", 0x30, [](Qz719Descriptors* d) { PadTo(d, 256); }, false,
     STATUS_DEVICE_DATA_ERROR, 0, false, false},
    {"no interface", 0x30, [](Qz719Descriptors* d) { d->has_interface = false; }, false,
     STATUS_DEVICE_DATA_ERROR, 0, false, false},
    {"an interface counted but missing", 0x30,
     [](Qz719Descriptors* d) {
       d->has_interface = false;
       d->bNumInterfaces = 1;
     },
     false, STATUS_DEVICE_DATA_ERROR, 0, false, false},
};

class Configuration : public DriverTest, public ::testing::WithParamInterface<ConfigureCase> {};

// The start configures the device (trying twice); a failure leaves the device
// to be removed, and the unload check proves the failed attempts freed what
// they took.
TEST_P(Configuration, StartConfiguresTheChipOrFails) {
  const ConfigureCase& c = GetParam();
  ASSERT_NE(nullptr, Load());
  ChipPlug plug;
  plug.version = c.version;
  plug.options.descriptors = Qz719Descriptors::For(c.version);
  if (c.descriptors != nullptr)
    c.descriptors(&*plug.options.descriptors);
  if (c.empty_version_answer) {
    plug.before_arrival = [&](int usb_port) {
      usb_->Faults(usb_port).AnswerShort(VR_GET_VERSION, 0, 2);
    };
  }
  const Plugged plugged = Plug(plug);
  EXPECT_EQ(c.status, plugged.arrival);
  EXPECT_EQ(c.version_asked, plugged.chip->Count(VR_GET_VERSION) > 0);
  PDEVICE_OBJECT port = PortFor(plugged);
  if (!NT_SUCCESS(c.status)) {
    EXPECT_EQ(nullptr, port);  // removed after the failed start
    return;
  }
  ASSERT_NE(nullptr, port);
  const PORT_EXTENSION* extension = PortOf(port);
  EXPECT_EQ(c.chip_version, extension->ChipVersion);
  EXPECT_EQ(c.interrupt_pipe, extension->InterruptPipe != nullptr);
  EXPECT_NE(nullptr, extension->BulkInPipe);
  EXPECT_NE(nullptr, extension->BulkOutPipe);
  EXPECT_EQ(kBulkPacketSize, extension->InTransferLength);
  EXPECT_EQ(1, plugged.chip->Configuration());
}

INSTANTIATE_TEST_SUITE_P(Cases, Configuration, ::testing::ValuesIn(kConfigureCases),
                         CaseName<ConfigureCase>);

class Deconfiguration : public DriverTest {};

TEST_F(Deconfiguration, ReturnsTheChipToUnconfiguredUnlessItIsGone) {
  ASSERT_NE(nullptr, Load());
  const Plugged attached = Plug();
  PDEVICE_OBJECT port = PortFor(attached);
  EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return DeconfigureDevice(port); }));
  EXPECT_EQ(0, attached.chip->Configuration());
  // Configuration again brings back the pipes.
  EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return ConfigureDevice(port); }));
  EXPECT_EQ(1, attached.chip->Configuration());

  const Plugged gone = Plug();
  port = PortFor(gone);
  usb_->Unplug(gone.usb_port);  // the PnP manager is not told: the port stays
  const std::uint64_t before = usb_->stats().urbs_submitted;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, AsDriver([&] { return DeconfigureDevice(port); }));
  EXPECT_EQ(before, usb_->stats().urbs_submitted);
}

}  // namespace
}  // namespace vax::test
