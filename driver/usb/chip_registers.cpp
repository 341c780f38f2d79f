// Typed access to the chip: its registers two at a time, its modem-control
// outputs, and single bytes of its memory. Every request goes through
// VendorRequest on the default pipe; a short answer is turned into a failure
// here, at the boundary, so callers see only statuses.
//
// No lock is held around these requests: read-modify-write sequences of the
// callers are not atomic against each other.
#include "vaxport.h"

namespace {

constexpr USHORT Pair(UCHAR low, UCHAR high) {
  return static_cast<USHORT>(low | (high << 8));
}

// Older chips report a byte access busy in their status block until it is
// done. Each busy answer costs one poll, a failed poll 21, and 100 ends it.
constexpr ULONG kByteAccessPollLimit = 100;
constexpr ULONG kFailedPollCost = 21;
constexpr ULONG kStatusBlockBytes = 8;
constexpr ULONG kStatusBlockDataByte = 4;
constexpr ULONG kStatusBlockBusyByte = 5;
constexpr UCHAR kStatusBlockBusy = 0x01;

// A VR_BYTE_ACCESS write is committed by VR_BYTE_FINISH with this value.
constexpr USHORT kByteFinishValue = 10;

constexpr UCHAR kByteAccessRead = 0x01;  // bit 0 of parameter byte 1

NTSTATUS ByteAccessByCommand(PDEVICE_OBJECT device, UCHAR param1, UCHAR param2, PUCHAR data) {
  NTSTATUS status = VendorRequest(device, kVendorOut, VR_BYTE_COMMAND, *data, Pair(param2, param1),
                                  nullptr, nullptr);
  if (!NT_SUCCESS(status))
    return status;
  ULONG polls = 0;
  while (polls < kByteAccessPollLimit) {
    UCHAR block[kStatusBlockBytes] = {};
    ULONG length = kStatusBlockBytes;
    status = VendorRequest(device, kVendorIn, VR_STATUS_BLOCK, 0, 0, block, &length);
    if (!NT_SUCCESS(status) || length <= kStatusBlockBusyByte) {
      polls += kFailedPollCost;
    } else if ((block[kStatusBlockBusyByte] & kStatusBlockBusy) != 0) {
      polls += 1;
    } else {
      if ((param1 & kByteAccessRead) != 0)
        *data = block[kStatusBlockDataByte];
      return status;
    }
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS ByteAccessByRequest(PDEVICE_OBJECT device, UCHAR param1, UCHAR param2, PUCHAR data) {
  const USHORT index = Pair(1, param1 & static_cast<UCHAR>(~kByteAccessRead));
  if ((param1 & kByteAccessRead) != 0) {
    UCHAR value = 0;
    ULONG length = 1;
    NTSTATUS status =
        VendorRequest(device, kVendorIn, VR_BYTE_ACCESS, Pair(0, param2), index, &value, &length);
    if (!NT_SUCCESS(status))
      return status;
    if (length == 0)
      return STATUS_UNSUCCESSFUL;
    *data = value;
    return status;
  }
  NTSTATUS status = VendorRequest(device, kVendorOut, VR_BYTE_ACCESS, Pair(*data, param2), index,
                                  nullptr, nullptr);
  VendorRequest(device, kVendorOut, VR_BYTE_FINISH, kByteFinishValue, 0, nullptr, nullptr);
  return status;
}

}  // namespace

NTSTATUS ReadRegisterPair(PDEVICE_OBJECT device, UCHAR reg_a, PUCHAR value_a, UCHAR reg_b,
                          PUCHAR value_b) {
  UCHAR answer[2] = {};
  ULONG length = sizeof(answer);
  NTSTATUS status =
      VendorRequest(device, kVendorIn, VR_READ_REGS, Pair(reg_a, reg_b), 0, answer, &length);
  if (!NT_SUCCESS(status))
    return status;
  if (length < sizeof(answer))
    return STATUS_INSUFFICIENT_RESOURCES;
  *value_a = answer[0];
  *value_b = answer[1];
  return status;
}

NTSTATUS WriteRegisterPair(PDEVICE_OBJECT device, UCHAR reg_a, UCHAR value_a, UCHAR reg_b,
                           UCHAR value_b) {
  return VendorRequest(device, kVendorOut, VR_WRITE_REGS, Pair(reg_a, reg_b),
                       Pair(value_a, value_b), nullptr, nullptr);
}

NTSTATUS WriteModemControl(PDEVICE_OBJECT device, UCHAR chip_byte) {
  if (PortOf(device)->ChipVersion >= kChipVersionInterrupt)
    return VendorRequest(device, kVendorOut, VR_MODEM_CONTROL, chip_byte, 0, nullptr, nullptr);
  return WriteRegisterPair(device, REG_MODEM, chip_byte, REG_MODEM, chip_byte);
}

NTSTATUS ChipByteAccess(PDEVICE_OBJECT device, UCHAR param1, UCHAR param2, PUCHAR data) {
  if (PortOf(device)->ChipVersion >= kChipVersionInterrupt)
    return ByteAccessByRequest(device, param1, param2, data);
  return ByteAccessByCommand(device, param1, param2, data);
}
