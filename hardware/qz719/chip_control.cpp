// The chip's control endpoint: standard requests, the vendor requests and the
// register file. Every request is dispatched on (bmRequestType, bRequest);
// anything not listed, or not present in this generation, stalls.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "hardware/qz719/qz719_chip.h"

namespace vax::hw::qz719 {
namespace {

constexpr std::uint16_t Key(std::uint8_t request_type, std::uint8_t request) {
  return std::uint16_t(request_type << 8 | request);
}

// Standard requests.
constexpr std::uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kGetDescriptor = 6,
                       kGetConfiguration = 8, kSetConfiguration = 9, kGetInterface = 10,
                       kSetInterface = 11;
constexpr std::uint16_t kFeatureEndpointHalt = 0, kFeatureRemoteWakeup = 1;

// Answers an IN request with `bytes`, cut to what the host asked for.
usb::Handshake Answer(std::span<const std::uint8_t> bytes, const usb::SetupPacket& setup,
                      std::span<std::uint8_t> data, std::size_t* actual) {
  std::size_t n = std::min({bytes.size(), std::size_t(setup.wLength), data.size()});
  std::copy_n(bytes.begin(), n, data.begin());
  *actual = n;
  return usb::Handshake::kAck;
}

}  // namespace

usb::Handshake Qz719Chip::Control(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                                  std::size_t* actual) {
  *actual = 0;
  Followup followup;
  usb::Handshake result;
  {
    std::lock_guard lock(mu_);
    LineTime now = LineNow();
    Advance(now);
    result = ControlLocked(setup, data, actual, now);
    Recompute(now);
    followup = Finish(now);
  }
  RunFollowup(followup);
  return result;
}

usb::Handshake Qz719Chip::ControlLocked(const usb::SetupPacket& setup, std::span<std::uint8_t> data,
                                        std::size_t* actual, LineTime now) {
  if ((setup.bmRequestType & 0x60) == 0)
    return StandardRequest(setup, data, actual);
  return VendorRequestLocked(setup, data, actual, now);
}

usb::Handshake Qz719Chip::StandardRequest(const usb::SetupPacket& setup,
                                          std::span<std::uint8_t> data, std::size_t* actual) {
  ChipState& s = state_;
  switch (Key(setup.bmRequestType, setup.bRequest)) {
    case Key(0x80, kGetDescriptor): {
      std::uint8_t type = std::uint8_t(setup.wValue >> 8), index = std::uint8_t(setup.wValue);
      if (type == 1)
        return Answer(descriptors_.DeviceBytes(), setup, data, actual);
      if (type == 2 && index == 0) {
        return Answer(descriptors_.ConfigurationBytes(), setup, data, actual);
      }
      if (type == 3) {
        auto bytes = descriptors_.StringBytes(index);
        if (bytes)
          return Answer(*bytes, setup, data, actual);
      }
      return usb::Handshake::kStall;
    }
    case Key(0x80, kGetConfiguration):
      return Answer(std::span(&s.configuration, 1), setup, data, actual);
    case Key(0x00, kSetConfiguration):
      if (setup.wValue != 0 && setup.wValue != descriptors_.bConfigurationValue) {
        return usb::Handshake::kStall;
      }
      s.configuration = std::uint8_t(setup.wValue);
      s.halted = {};
      return usb::Handshake::kAck;
    case Key(0x80, kGetStatus): {
      std::uint8_t status[2] = {std::uint8_t((descriptors_.bmAttributes & 0x40) ? 1 : 0), 0};
      return Answer(status, setup, data, actual);
    }
    case Key(0x81, kGetStatus): {
      std::uint8_t status[2] = {0, 0};
      return Answer(status, setup, data, actual);
    }
    case Key(0x82, kGetStatus): {
      if ((setup.wIndex & 0x7F) == 0) {
        std::uint8_t status[2] = {0, 0};
        return Answer(status, setup, data, actual);
      }
      auto index = IndexOf(std::uint8_t(setup.wIndex), (setup.wIndex & 0x80) != 0);
      if (!index)
        return usb::Handshake::kStall;
      std::uint8_t status[2] = {std::uint8_t(s.halted[*index] ? 1 : 0), 0};
      return Answer(status, setup, data, actual);
    }
    case Key(0x00, kClearFeature):
    case Key(0x00, kSetFeature):
      return setup.wValue == kFeatureRemoteWakeup ? usb::Handshake::kAck : usb::Handshake::kStall;
    case Key(0x02, kClearFeature):
    case Key(0x02, kSetFeature): {
      auto index = IndexOf(std::uint8_t(setup.wIndex), (setup.wIndex & 0x80) != 0);
      if (setup.wValue != kFeatureEndpointHalt || !index)
        return usb::Handshake::kStall;
      s.halted[*index] = setup.bRequest == kSetFeature;
      return usb::Handshake::kAck;
    }
    case Key(0x81, kGetInterface): {
      if (s.configuration == 0 || !descriptors_.has_interface)
        return usb::Handshake::kStall;
      std::uint8_t alternate = 0;
      return Answer(std::span(&alternate, 1), setup, data, actual);
    }
    case Key(0x01, kSetInterface):
      if (s.configuration == 0 || setup.wValue != 0)
        return usb::Handshake::kStall;
      return usb::Handshake::kAck;
    default:
      return usb::Handshake::kStall;
  }
}

usb::Handshake Qz719Chip::VendorRequestLocked(const usb::SetupPacket& setup,
                                              std::span<std::uint8_t> data, std::size_t* actual,
                                              LineTime now) {
  ChipState& s = state_;
  switch (Key(setup.bmRequestType, setup.bRequest)) {
    case Key(kRequestTypeVendorIn, VR_GET_VERSION): {
      if (!traits_.answers_version)
        return usb::Handshake::kStall;
      std::uint8_t answer[2] = {version_, 0};  // version, revision
      return Answer(answer, setup, data, actual);
    }
    case Key(kRequestTypeVendorIn, VR_READ_REGS): {
      std::uint8_t a = std::uint8_t(setup.wValue), b = std::uint8_t(setup.wValue >> 8);
      auto va = ReadRegister(a, now), vb = ReadRegister(b, now);
      if (!va || !vb)
        return usb::Handshake::kStall;
      std::uint8_t answer[2] = {*va, *vb};
      return Answer(answer, setup, data, actual);
    }
    case Key(kRequestTypeVendorOut, VR_WRITE_REGS): {
      std::uint8_t a = std::uint8_t(setup.wValue), b = std::uint8_t(setup.wValue >> 8);
      if (!RegisterExists(a) || !RegisterExists(b))
        return usb::Handshake::kStall;
      WriteRegister(a, std::uint8_t(setup.wIndex));
      WriteRegister(b, std::uint8_t(setup.wIndex >> 8));
      return usb::Handshake::kAck;
    }
    case Key(kRequestTypeVendorOut, VR_SERIAL_INIT):
      SerialInit(setup.wValue, setup.wIndex, now);
      return usb::Handshake::kAck;
    case Key(kRequestTypeVendorOut, VR_MODEM_CONTROL):
      if (!traits_.modem_control_request)
        return usb::Handshake::kStall;
      s.modem_out = std::uint8_t(setup.wValue) & kModemOutputMask;
      return usb::Handshake::kAck;
    case Key(kRequestTypeVendorIn, VR_STATUS_BLOCK): {
      auto block = StatusBlock(now);
      return Answer(block, setup, data, actual);
    }
    case Key(kRequestTypeVendorOut, VR_BYTE_COMMAND): {
      // wIndex = command byte (bit 0: read) << 8 | parameter byte; the
      // address is the command's page (bits 1-7) and the parameter.
      std::uint8_t command = std::uint8_t(setup.wIndex >> 8);
      std::uint16_t address = std::uint16_t((command >> 1) << 8 | (setup.wIndex & 0xFF));
      if (command & 1) {
        s.byte_data = ReadMemory(address);
      } else {
        WriteMemory(address, std::uint8_t(setup.wValue));
        s.byte_data = std::uint8_t(setup.wValue);
      }
      s.byte_busy_polls_left = options_.byte_busy_polls;
      return usb::Handshake::kAck;
    }
    case Key(kRequestTypeVendorIn, VR_BYTE_ACCESS):
    case Key(kRequestTypeVendorOut, VR_BYTE_ACCESS): {
      // wIndex = page << 9 | 1 (the access opcode), wValue = parameter << 8 |
      // data byte when writing.
      if (!traits_.byte_access_request || (setup.wIndex & 0xFF) != 1) {
        return usb::Handshake::kStall;
      }
      std::uint16_t address = std::uint16_t((setup.wIndex >> 9) << 8 | (setup.wValue >> 8));
      if (setup.bmRequestType == kRequestTypeVendorIn) {
        std::uint8_t value = ReadMemory(address);
        return Answer(std::span(&value, 1), setup, data, actual);
      }
      s.staged_write = {address, std::uint8_t(setup.wValue)};
      return usb::Handshake::kAck;
    }
    case Key(kRequestTypeVendorOut, VR_BYTE_FINISH):
      if (!traits_.byte_access_request || setup.wValue != kByteFinishCommit) {
        return usb::Handshake::kStall;
      }
      if (s.staged_write)
        WriteMemory(s.staged_write->first, s.staged_write->second);
      s.staged_write.reset();
      return usb::Handshake::kAck;
    default:
      return usb::Handshake::kStall;
  }
}

bool Qz719Chip::RegisterExists(std::uint8_t reg) const {
  switch (reg) {
    case REG_LINE_AUX:
    case REG_MODEM:
    case REG_TX_STATUS:
    case REG_CHAR_TIME_HIGH:
    case REG_PRESCALER:
    case REG_DIVISOR:
    case REG_LCR1:
    case REG_LCR2:
    case REG_CHAR_TIME:
      return true;
    case REG_HW_FLOW:
      return traits_.hw_flow;
    default:
      return false;
  }
}

std::optional<std::uint8_t> Qz719Chip::ReadRegister(std::uint8_t reg, LineTime now) {
  if (!RegisterExists(reg))
    return std::nullopt;
  const ChipState& s = state_;
  switch (reg) {
    case REG_LINE_AUX:
      return s.line_aux;
    case REG_MODEM:
      return ModemRegister();
    case REG_TX_STATUS:
      return std::uint8_t(transmitter_.Busy(now) ? kTxBusy : 0);
    case REG_CHAR_TIME_HIGH:
      return s.char_time_high;
    case REG_PRESCALER:
      return s.prescaler;
    case REG_DIVISOR:
      return s.divisor;
    case REG_LCR1:
      return s.lcr1;
    case REG_LCR2:
      return s.lcr2;
    case REG_HW_FLOW:
      return s.hw_flow;
    case REG_CHAR_TIME:
      return s.char_time;
  }
  return std::nullopt;
}

void Qz719Chip::WriteRegister(std::uint8_t reg, std::uint8_t value) {
  ChipState& s = state_;
  switch (reg) {
    case REG_LINE_AUX:
      // Bit 1 belongs to the receiver (the kind of the last line error).
      s.line_aux =
          std::uint8_t((value & ~kAuxFramingNotBreak) | (s.line_aux & kAuxFramingNotBreak));
      break;
    case REG_MODEM:
      // The input bits are read-only; from generation 0x20 on the outputs
      // answer only to VR_MODEM_CONTROL.
      if (traits_.modem_register_outputs)
        s.modem_out = value & kModemOutputMask;
      break;
    case REG_TX_STATUS:
      break;  // read-only
    case REG_CHAR_TIME_HIGH:
      s.char_time_high = value;
      break;
    case REG_PRESCALER:
      s.prescaler = value;
      break;
    case REG_DIVISOR:
      s.divisor = value;
      break;
    case REG_LCR1:
      s.lcr1 = value;
      break;
    case REG_LCR2:
      s.lcr2 = value;
      break;
    case REG_HW_FLOW:
      s.hw_flow = value;
      break;
    case REG_CHAR_TIME:
      s.char_time = value;
      break;
  }
}

// VR_SERIAL_INIT restarts the serial engine: both FIFOs are emptied (the
// character on the line still finishes), latched errors and a staged byte
// write are dropped, and the registers whose presence flag is set are loaded.
// wValue = flags | line-control byte << 8; wIndex = prescaler/char-time byte
// | divisor << 8. On 0x30 and later the low wIndex byte's bit 7 belongs to the
// prescaler when its flag is present, so the character time then takes bits
// 3-6 only.
void Qz719Chip::SerialInit(std::uint16_t value, std::uint16_t index, LineTime now) {
  ChipState& s = state_;
  std::uint8_t flags = std::uint8_t(value), line = std::uint8_t(value >> 8);
  std::uint8_t low = std::uint8_t(index), divisor = std::uint8_t(index >> 8);
  transmitter_.Flush(now);
  s.rx_fifo.clear();
  s.error_latch = 0;
  s.staged_write.reset();
  if (traits_.new_line_control) {
    if (flags & kInitLcr1)
      s.lcr1 = line;
  } else {
    if (flags & kInitLcr1High)
      s.lcr1 = std::uint8_t((s.lcr1 & 0x0F) | (line & 0xF0));
    if (flags & kInitLcr2Low)
      s.lcr2 = std::uint8_t((s.lcr2 & 0xF0) | (line & 0x0F));
  }
  std::uint8_t prescaler_bits = kPrescalerCodeMask;
  if (traits_.prescaler_enable_bit)
    prescaler_bits |= kPrescalerEnable;
  if (flags & kInitPrescaler)
    s.prescaler = low & prescaler_bits;
  if (flags & kInitDivisor)
    s.divisor = divisor;
  if (flags & kInitCharTime) {
    std::uint8_t mask = (flags & kInitPrescaler) ? std::uint8_t(0xF8 & ~prescaler_bits) : 0xF8;
    s.char_time = low & mask;
  }
}

// Status block: byte 0 the latched status bits (as in a status packet; not
// cleared by reading), byte 2 REG_MODEM, byte 3 REG_TX_STATUS, byte 4 the
// data byte of the last byte access, byte 5 bit 0 byte access busy, bytes
// 6-7 the receive FIFO level.
std::array<std::uint8_t, 8> Qz719Chip::StatusBlock(LineTime now) {
  ChipState& s = state_;
  std::array<std::uint8_t, 8> block{};
  block[0] = s.error_latch;
  block[2] = ModemRegister();
  block[3] = transmitter_.Busy(now) ? kTxBusy : 0;
  block[4] = s.byte_data;
  if (s.byte_busy_polls_left > 0) {
    block[5] = 1;
    --s.byte_busy_polls_left;
  }
  block[6] = std::uint8_t(s.rx_fifo.size());
  block[7] = std::uint8_t(s.rx_fifo.size() >> 8);
  return block;
}

// Addresses past the memory read as 0xFF and ignore writes, like an
// unpopulated bus.
std::uint8_t Qz719Chip::ReadMemory(std::uint16_t address) const {
  return address < kMemoryBytes ? state_.memory[address] : 0xFF;
}

void Qz719Chip::WriteMemory(std::uint16_t address, std::uint8_t value) {
  if (address < kMemoryBytes)
    state_.memory[address] = value;
}

}  // namespace vax::hw::qz719
