// The port's requests to the USB stack: the hub port status and the
// device-gone test, vendor requests, pipe requests, the pipe recovery rule
// and the spare request block shared by concurrent callers.
#include "driver_fixture.h"
#include "kernel/faults.h"

namespace vax::test {
namespace {

class UsbRequests : public DriverTest {
 protected:
  // A started port on a chip of `version`.
  PDEVICE_OBJECT Start(std::uint8_t version = 0x30, ChipPlug plug = {}) {
    if (driver_ == nullptr)
      Load();
    plug.version = version;
    plugged_ = Plug(plug);
    EXPECT_EQ(STATUS_SUCCESS, plugged_.arrival);
    return PortFor(plugged_);
  }
  std::uint64_t UrbsSubmitted() const { return usb_->stats().urbs_submitted; }
  PVOID SpareBlock(PDEVICE_OBJECT port) const {
    return static_cast<PUCHAR>(PortOf(port)->PoolBase) + kPoolSpareBlock;
  }

  Plugged plugged_;
};

// The hub's answer, the way a stack reports a device that left, and a query
// that could not be made, each seen through the one device-gone test.
TEST_F(UsbRequests, TheDeviceCountsAsGoneOnlyWhenTheHubSaysSo) {
  struct Case {
    const char* name;
    bool unplugged;
    usb::GonePortStatus hub;
    bool irp_fails;
    NTSTATUS status;
    ULONG port_status;  // preset USBD_PORT_ENABLED | USBD_PORT_CONNECTED
    BOOLEAN gone;
  };
  const Case cases[] = {
      {"attached", false, usb::GonePortStatus::kReportNotConnected, false, STATUS_SUCCESS,
       USBD_PORT_ENABLED | USBD_PORT_CONNECTED, FALSE},
      {"unplugged, hub says not connected", true, usb::GonePortStatus::kReportNotConnected, false,
       STATUS_SUCCESS, 0, TRUE},
      {"unplugged, hub fails the query as not connected", true,
       usb::GonePortStatus::kFailDeviceNotConnected, false, STATUS_SUCCESS, USBD_PORT_ENABLED,
       TRUE},
      {"no IRP for the query", false, usb::GonePortStatus::kReportNotConnected, true,
       STATUS_INSUFFICIENT_RESOURCES, USBD_PORT_ENABLED | USBD_PORT_CONNECTED, FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT port = Start();
    usb_->SetGonePortStatus(c.hub);
    if (c.unplugged)
      usb_->Unplug(plugged_.usb_port);  // the PnP manager is not told: the port stays
    kernel::FaultPlan plan;
    if (c.irp_fails) {
      plan.mode = kernel::FaultPlan::Mode::kNth;
      plan.nth = 1;
      plan.and_after = true;
    }
    kernel::ScopedFault fault(kernel::AllocationKind::kIrp, plan);
    ULONG port_status = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    EXPECT_EQ(c.status, AsDriver([&] { return GetPortStatus(port, &port_status); }));
    EXPECT_EQ(c.port_status, port_status);
    EXPECT_EQ(c.gone, AsDriver([&] { return DeviceGone(port); }));
  }
}

TEST_F(UsbRequests, AVendorRequestIsOneSetupPacketAndReportsTheBytesMoved) {
  PDEVICE_OBJECT port = Start();
  WatchedChip& chip = *plugged_.chip;

  // The chip answers the version request with two bytes of the seven asked.
  UCHAR answer[8] = {};
  ULONG length = 7;
  EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] {
              return VendorRequest(port, kVendorIn, VR_GET_VERSION, 0, 0, answer, &length);
            }));
  EXPECT_EQ(2u, length);
  EXPECT_EQ(0x30, answer[0]);
  const usb::SetupPacket in = chip.setups.back();
  EXPECT_EQ(0xC0, in.bmRequestType);
  EXPECT_EQ(7, in.wLength);

  EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] {
              return VendorRequest(port, kVendorOut, VR_WRITE_REGS, 0x2518, 0x0003, nullptr,
                                   nullptr);
            }));
  const usb::SetupPacket out = chip.setups.back();
  EXPECT_EQ(VR_WRITE_REGS, out.bRequest);
  EXPECT_EQ(0x40, out.bmRequestType);
  EXPECT_EQ(0x2518, out.wValue);
  EXPECT_EQ(0x0003, out.wIndex);
  EXPECT_EQ(0, out.wLength);

  // A request the chip refuses moves nothing.
  length = 7;
  EXPECT_FALSE(NT_SUCCESS(
      AsDriver([&] { return VendorRequest(port, kVendorIn, 0x77, 0, 0, answer, &length); })));
  EXPECT_EQ(0u, length);

  // A stack that times a request out reports it as an I/O timeout.
  usb_->Faults(plugged_.usb_port).FailNextUrbs(0, 1, USBD_STATUS_TIMEOUT, STATUS_TIMEOUT);
  length = 7;
  EXPECT_EQ(STATUS_IO_TIMEOUT, AsDriver([&] {
              return VendorRequest(port, kVendorIn, VR_GET_VERSION, 0, 0, answer, &length);
            }));
  EXPECT_EQ(0u, length);

  EXPECT_EQ(0, PortOf(port)->UsbRequestCount);
  EXPECT_EQ(SpareBlock(port), PortOf(port)->RequestBlockSlot);
}

TEST_F(UsbRequests, PipeRequestsGoOnlyToPipesThePortHas) {
  ChipPlug no_interrupt;
  no_interrupt.options.descriptors = Qz719Descriptors::For(0x30);
  no_interrupt.options.descriptors->endpoints.erase(
      no_interrupt.options.descriptors->endpoints.begin());
  PDEVICE_OBJECT port = Start(0x30, no_interrupt);
  ASSERT_EQ(nullptr, PortOf(port)->InterruptPipe);

  const std::uint64_t before = UrbsSubmitted();
  for (ULONG selector : {ULONG{kInterruptPipe}, ULONG{4}, ULONG{8}}) {
    SCOPED_TRACE(selector);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE,
              AsDriver([&] { return PipeRequest(port, URB_FUNCTION_RESET_PIPE, selector); }));
  }
  EXPECT_EQ(before, UrbsSubmitted());

  for (ULONG selector : {ULONG{kBulkInPipe}, ULONG{kBulkOutPipe}}) {
    for (USHORT function : {USHORT{URB_FUNCTION_ABORT_PIPE}, USHORT{URB_FUNCTION_RESET_PIPE}}) {
      SCOPED_TRACE(selector * 100 + function);
      EXPECT_EQ(STATUS_SUCCESS, AsDriver([&] { return PipeRequest(port, function, selector); }));
    }
  }
  EXPECT_EQ(before + 4, UrbsSubmitted());
  EXPECT_EQ(SpareBlock(port), PortOf(port)->RequestBlockSlot);
}

// After a failed transfer: a gone device ends the caller's loop, a removal
// under way gets no reset, anything else resets the pipe once.
TEST_F(UsbRequests, APipeIsResetAfterAFailureUnlessTheDeviceIsGoingOrGone) {
  struct Case {
    const char* name;
    bool unplugged;
    bool removed;
    bool remove_pending;
    BOOLEAN gone;
    int resets;
  };
  const Case cases[] = {
      {"attached", false, false, false, FALSE, 1},
      {"removal accepted", false, true, false, FALSE, 0},
      {"removal asked", false, false, true, FALSE, 0},
      {"unplugged", true, false, false, TRUE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT port = Start();
    if (c.unplugged)
      usb_->Unplug(plugged_.usb_port);
    PortOf(port)->Removed = c.removed;
    PortOf(port)->RemovePending = c.remove_pending;
    const std::uint64_t before = UrbsSubmitted();
    EXPECT_EQ(c.gone, AsDriver([&] { return RecoverPipe(port, kBulkInPipe); }));
    EXPECT_EQ(before + c.resets, UrbsSubmitted());
  }
}

// Two threads asking the chip at the same moment: one has the spare request
// block, the other a block of its own for the one request; both get their
// answer and the spare is back in its slot afterwards.
struct Racer {
  PDEVICE_OBJECT port;
  NTSTATUS status = STATUS_PENDING;
  UCHAR lcr1 = 0;
  UCHAR lcr2 = 0;
};

void NTAPI Race(PVOID context) {
  auto* racer = static_cast<Racer*>(context);
  racer->status = ReadRegisterPair(racer->port, REG_LCR1, &racer->lcr1, REG_LCR2, &racer->lcr2);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

PVOID StartRacer(Racer* racer) {
  HANDLE handle = nullptr;
  EXPECT_EQ(STATUS_SUCCESS,
            PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Race, racer));
  PVOID thread = nullptr;
  EXPECT_EQ(STATUS_SUCCESS,
            ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr));
  ZwClose(handle);
  return thread;
}

std::size_t PrivateRequestBlocks() {
  std::size_t n = 0;
  for (const kernel::PoolBlock& block : kernel::PoolBlocks()) {
    n += block.tag == kPoolTag && block.size == kRequestBlockUrbBytes;
  }
  return n;
}

TEST_F(UsbRequests, TwoCallersShareTheSpareRequestBlockWithoutWaiting) {
  PDEVICE_OBJECT port = Start();
  AsDriver([&] { return WriteRegisterPair(port, REG_LCR1, 0x43, REG_LCR2, 0x00); });
  Racer first{port}, second{port};
  PVOID threads[] = {StartRacer(&first), StartRacer(&second)};

  // No time passes while the test only yields, so both requests are in
  // flight together before either can complete.
  for (int i = 0; i < 10000 && usb_->PendingUrbs(plugged_.usb_port) < 2; ++i)
    sim::Yield("racers submit");
  ASSERT_EQ(2, usb_->PendingUrbs(plugged_.usb_port));
  EXPECT_EQ(nullptr, PortOf(port)->RequestBlockSlot);
  EXPECT_EQ(1u, PrivateRequestBlocks());

  for (PVOID thread : threads) {
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
  }
  for (const Racer* racer : {&first, &second}) {
    EXPECT_EQ(STATUS_SUCCESS, racer->status);
    EXPECT_EQ(0x43, racer->lcr1);
    EXPECT_EQ(0x00, racer->lcr2);
  }
  EXPECT_EQ(SpareBlock(port), PortOf(port)->RequestBlockSlot);
  EXPECT_EQ(0u, PrivateRequestBlocks());
  EXPECT_EQ(0, PortOf(port)->UsbRequestCount);
}

}  // namespace
}  // namespace vax::test
