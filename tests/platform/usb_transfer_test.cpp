// URB functions on the PDO: configuration, control requests, bulk and
// interrupt transfers with their short-packet rules, abort and pipe reset.
#include <gtest/gtest.h>

#include "usb_fixture.h"

namespace vax::test {
namespace {

class UsbTransfers : public UsbBus {
 protected:
  void SetUp() override {
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, Configure());
  }
};

TEST_F(UsbTransfers, SelectConfigurationFillsPipesAndNullUnconfigures) {
  EXPECT_EQ(1, device.configuration);
  EXPECT_EQ(0x00, device.LastSetup(USB_REQUEST_SET_CONFIGURATION).bmRequestType);
  EXPECT_EQ(1, device.LastSetup(USB_REQUEST_SET_CONFIGURATION).wValue);
  ASSERT_NE(nullptr, interrupt);
  ASSERT_NE(nullptr, bulk_in);
  ASSERT_NE(nullptr, bulk_out);

  // The pipe information as the selection returned it.
  auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
  PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
  ASSERT_EQ(STATUS_SUCCESS, Submit(select));
  EXPECT_NE(nullptr, select->UrbSelectConfiguration.ConfigurationHandle);
  const USBD_INTERFACE_INFORMATION& info = *list[0].Interface;
  EXPECT_NE(nullptr, info.InterfaceHandle);
  EXPECT_EQ(0xFF, info.Class);
  EXPECT_EQ(0x01, info.SubClass);
  EXPECT_EQ(0x02, info.Protocol);
  ASSERT_EQ(3u, info.NumberOfPipes);
  struct Expected {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT packet;
    UCHAR interval;
  };
  const Expected expected[] = {{kInterruptIn, UsbdPipeTypeInterrupt, 8, 1},
                               {kBulkIn, UsbdPipeTypeBulk, 32, 0},
                               {kBulkOut, UsbdPipeTypeBulk, 32, 0}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(expected[i].address, info.Pipes[i].EndpointAddress);
    EXPECT_EQ(expected[i].type, info.Pipes[i].PipeType);
    EXPECT_EQ(expected[i].packet, info.Pipes[i].MaximumPacketSize);
    EXPECT_EQ(expected[i].interval, info.Pipes[i].Interval);
    EXPECT_NE(nullptr, info.Pipes[i].PipeHandle);
  }
  // A second selection makes new pipes: the old handles are stale.
  EXPECT_NE(bulk_in, info.Pipes[1].PipeHandle);
  auto stale = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, stale->Wait());
  EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, stale->Status());

  // A transfer pending when the device is unconfigured is cancelled, and the
  // handle is dead after.
  bulk_in = info.Pipes[1].PipeHandle;
  auto pending = Post(bulk_in, 32);
  URB unconfigure{};
  UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(STATUS_SUCCESS, Submit(&unconfigure));
  EXPECT_EQ(0, device.configuration);
  EXPECT_EQ(STATUS_CANCELLED, pending->Wait());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Post(bulk_in, 32)->Wait());
  ExFreePool(select);
}

TEST_F(UsbTransfers, MaximumTransferSizeBoundsEachTransfer) {
  ASSERT_EQ(STATUS_SUCCESS, Configure(64));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Post(bulk_out, 65)->Wait());
  EXPECT_EQ(STATUS_SUCCESS, Post(bulk_out, 64)->Wait());
  EXPECT_EQ(64u, device.bulk_out.size());
}

// Each URB function builds the setup packet the device sees.
TEST_F(UsbTransfers, ControlFunctionsBuildTheirSetupPackets) {
  struct Case {
    USHORT function;
    ULONG flags;
    UCHAR request;  // vendor/class request or feature selector
    SetupPacket expected;
  };
  const Case cases[] = {
      {URB_FUNCTION_VENDOR_DEVICE,
       USBD_TRANSFER_DIRECTION_IN,
       0x5F,
       {0xC0, 0x5F, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_VENDOR_DEVICE, 0, 0x9A, {0x40, 0x9A, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_VENDOR_INTERFACE, 0, 0x10, {0x41, 0x10, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_VENDOR_ENDPOINT,
       USBD_TRANSFER_DIRECTION_IN,
       0x11,
       {0xC2, 0x11, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_VENDOR_OTHER, 0, 0x12, {0x43, 0x12, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_CLASS_DEVICE,
       USBD_TRANSFER_DIRECTION_IN,
       0x20,
       {0xA0, 0x20, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_CLASS_INTERFACE, 0, 0x21, {0x21, 0x21, 0x0102, 0x0304, 8}},
      {URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, 0, {0x80, USB_REQUEST_GET_STATUS, 0, 0x0304, 2}},
      {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0, 0, {0x82, USB_REQUEST_GET_STATUS, 0, 0x0304, 2}},
      {URB_FUNCTION_SET_FEATURE_TO_DEVICE, 0, 1, {0x00, USB_REQUEST_SET_FEATURE, 1, 0x0304, 0}},
      {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT,
       0,
       0,
       {0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0x0304, 0}},
      {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
       0,
       0,
       {0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0x0409, 18}},
  };
  for (const Case& c : cases) {
    URB urb{};
    std::uint8_t buffer[18] = {};
    switch (c.function) {
      case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        UsbBuildGetStatusRequest(&urb, c.function, 0x0304, buffer, nullptr, nullptr);
        break;
      case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
      case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        UsbBuildFeatureRequest(&urb, c.function, c.request, 0x0304, nullptr);
        break;
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0x0409, buffer, nullptr, 18,
                                     nullptr);
        break;
      default:
        UsbBuildVendorRequest(&urb, c.function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              c.flags | USBD_SHORT_TRANSFER_OK, 0, c.request, 0x0102, 0x0304,
                              buffer, nullptr, 8, nullptr);
        break;
    }
    device.setups.clear();
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb)) << "function " << c.function;
    ASSERT_EQ(1u, device.setups.size()) << "function " << c.function;
    const SetupPacket& seen = device.setups[0];
    EXPECT_EQ(c.expected.bmRequestType, seen.bmRequestType) << "function " << c.function;
    EXPECT_EQ(c.expected.bRequest, seen.bRequest) << "function " << c.function;
    EXPECT_EQ(c.expected.wValue, seen.wValue) << "function " << c.function;
    EXPECT_EQ(c.expected.wIndex, seen.wIndex) << "function " << c.function;
    EXPECT_EQ(c.expected.wLength, seen.wLength) << "function " << c.function;
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status);
  }
}

TEST_F(UsbTransfers, ControlAnswersShortStallsAndRefusals) {
  std::uint8_t buffer[16] = {};
  ULONG length = sizeof(buffer);
  // The device answers 8 of 16: success with SHORT_TRANSFER_OK, the length updated.
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, buffer, &length));
  EXPECT_EQ(8u, length);
  EXPECT_EQ(4, buffer[3]);
  // Without it the older controllers fail the short transfer.
  length = sizeof(buffer);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Vendor(kVendorRead, true, buffer, &length, 0));
  EXPECT_EQ(USBD_STATUS_DATA_UNDERRUN, last_usbd);
  // An OUT request carries its data; a refused one stalls.
  std::uint8_t out[3] = {7, 8, 9};
  length = sizeof(out);
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorWrite, false, out, &length));
  EXPECT_EQ((std::vector<std::uint8_t>{7, 8, 9}), device.vendor_written);
  length = 0;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Vendor(kVendorRefused, false, nullptr, &length));
  EXPECT_EQ(USBD_STATUS_STALL_PID, last_usbd);
  // A stall of the default pipe lasts one request.
  length = sizeof(buffer);
  EXPECT_EQ(STATUS_SUCCESS, Vendor(kVendorRead, true, buffer, &length));

  // Malformed URBs never reach the device.
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, 24, 0, 0, 1, 0, 0, nullptr, nullptr, 0,
                        nullptr);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&urb));  // Length too small
  EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, urb.UrbHeader.Status);
  urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  urb.UrbHeader.Function = 0x7777;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&urb));
  EXPECT_EQ(USBD_STATUS_INVALID_URB_FUNCTION, urb.UrbHeader.Status);
}

// Bulk IN with 32-byte packets: what arrived, what was asked for, and how
// the transfer ends.
TEST_F(UsbTransfers, BulkInShortPacketRules) {
  struct Case {
    const char* what;
    std::size_t arrived;
    ULONG asked;
    ULONG flags;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;
    bool halts;
  };
  const Case cases[] = {
      {"short packet ends it", 40, 100, USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
       40, false},
      {"full buffer ends it", 64, 64, USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
       64, false},
      {"short without the flag", 40, 100, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN, 40,
       true},
      {"exact without the flag", 64, 64, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64, false},
      {"more than the buffer", 64, 40, USBD_SHORT_TRANSFER_OK, STATUS_UNSUCCESSFUL,
       USBD_STATUS_DATA_OVERRUN, 40, true},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes(c.arrived);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>(i);
    device.bulk_in.clear();
    device.Arrive(bytes);
    auto posted = Post(bulk_in, c.asked, c.flags);
    EXPECT_EQ(c.status, posted->Wait()) << c.what;
    EXPECT_EQ(c.usbd, posted->Status()) << c.what;
    EXPECT_EQ(c.length, posted->Length()) << c.what;
    EXPECT_EQ(bytes[c.length - 1], posted->data[c.length - 1]) << c.what;
    // A halted pipe refuses the next transfer until it is reset.
    device.Arrive({1});
    auto next = Post(bulk_in, 32);
    EXPECT_EQ(c.halts ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, next->Wait()) << c.what;
    if (c.halts) {
      EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, next->Status()) << c.what;
      EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bulk_in));
    }
  }
}

TEST_F(UsbTransfers, BulkOutGoesInPacketsAndWaitsForRoomOnNak) {
  std::vector<std::uint8_t> data(100);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 3);
  device.out_room = 64;
  auto posted = Post(bulk_out, 100, 0, data);
  world.RunFor(10 * kTicksPerMs);
  EXPECT_FALSE(posted->Done());
  EXPECT_EQ(64u, device.bulk_out.size());
  device.MakeRoom(64);
  EXPECT_EQ(STATUS_SUCCESS, posted->Wait());
  EXPECT_EQ(100u, posted->Length());
  EXPECT_EQ(data, device.bulk_out);
  EXPECT_EQ((std::vector<std::size_t>{32, 32, 32, 4}), device.out_packets);
}

TEST_F(UsbTransfers, BulkInWaitsForTheDeviceAndZeroLengthPacketEndsIt) {
  auto posted = Post(bulk_in, 32);
  world.RunFor(50 * kTicksPerMs);
  EXPECT_FALSE(posted->Done());
  device.zero_length_next = true;
  device.Arrive({});
  EXPECT_EQ(STATUS_SUCCESS, posted->Wait());
  EXPECT_EQ(0u, posted->Length());
  // Interrupt IN works alike on its own pipe.
  auto status = Post(interrupt, 8);
  world.RunFor(5 * kTicksPerMs);
  EXPECT_FALSE(status->Done());
  device.Interrupt({0xA5, 0x5A});
  EXPECT_EQ(STATUS_SUCCESS, status->Wait());
  EXPECT_EQ(2u, status->Length());
  EXPECT_EQ(0x5A, status->data[1]);
}

TEST_F(UsbTransfers, AbortPipeCancelsEveryPendingTransferAndLeavesThePipeUsable) {
  std::vector<std::unique_ptr<Posted>> posted;
  for (int i = 0; i < 3; ++i)
    posted.push_back(Post(bulk_in, 32));
  auto other = Post(bulk_out, 8);
  EXPECT_EQ(STATUS_SUCCESS, other->Wait());
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, bulk_in));
  for (auto& p : posted) {
    EXPECT_EQ(STATUS_CANCELLED, p->Wait());
    EXPECT_EQ(USBD_STATUS_CANCELED, p->Status());
    EXPECT_EQ(0u, p->Length());
  }
  device.Arrive({1, 2, 3});
  auto after = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_SUCCESS, after->Wait());
  EXPECT_EQ(3u, after->Length());
  // A handle the device never had is refused.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_ABORT_PIPE, &after->urb));
  EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, last_usbd);
}

// What the writer relies on when a write times out: the aborted transfer
// reports the bytes that went out before the abort.
TEST_F(UsbTransfers, AbortedOutTransferReportsTheBytesMoved) {
  device.out_room = 64;
  auto posted = Post(bulk_out, 4096, 0, std::vector<std::uint8_t>(4096, 0x55));
  world.RunFor(20 * kTicksPerMs);
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, bulk_out));
  EXPECT_EQ(STATUS_CANCELLED, posted->Wait());
  EXPECT_EQ(64u, posted->Length());
}

TEST_F(UsbTransfers, StalledEndpointHaltsThePipeUntilResetAndClearStall) {
  usb->Faults(port).StallEndpoint(kBulkIn);
  auto first = Post(bulk_in, 32);
  auto queued = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, first->Wait());
  EXPECT_EQ(USBD_STATUS_STALL_PID, first->Status());
  EXPECT_EQ(STATUS_UNSUCCESSFUL, queued->Wait());
  EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, queued->Status());
  device.Arrive({9});
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Post(bulk_in, 32)->Wait());

  // A host-side reset alone leaves the device stalling.
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, bulk_in));
  auto again = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, again->Wait());
  EXPECT_EQ(USBD_STATUS_STALL_PID, again->Status());

  device.setups.clear();
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bulk_in));
  ASSERT_EQ(1u, device.setups.size());
  EXPECT_EQ(0x02, device.setups[0].bmRequestType);
  EXPECT_EQ(USB_REQUEST_CLEAR_FEATURE, device.setups[0].bRequest);
  EXPECT_EQ(USB_FEATURE_ENDPOINT_STALL, device.setups[0].wValue);
  EXPECT_EQ(kBulkIn, device.setups[0].wIndex);
  auto recovered = Post(bulk_in, 32);
  EXPECT_EQ(STATUS_SUCCESS, recovered->Wait());
  EXPECT_EQ(1u, recovered->Length());
}

TEST_F(UsbTransfers, CancelledIrpCompletesCancelled) {
  auto posted = Post(bulk_in, 32);
  world.RunFor(5 * kTicksPerMs);
  EXPECT_TRUE(IoCancelIrp(posted->pending.irp));
  EXPECT_EQ(STATUS_CANCELLED, posted->Wait());
  EXPECT_EQ(USBD_STATUS_CANCELED, posted->Status());
  EXPECT_EQ(0, usb->PendingUrbs(port));
}

TEST_F(UsbTransfers, SpinLockHeldAcrossARequestIsReported) {
  kernel::RecordingSink sink;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  URB urb{};
  std::uint8_t buffer[8] = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), bulk_out,
                                         buffer, nullptr, 8, 0, nullptr);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  IoCallDriver(pdo, irp);
  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(sink.Saw(kernel::Rule::kSpinLockAcrossUsbCall));
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(irp);
}

}  // namespace
}  // namespace vax::test
