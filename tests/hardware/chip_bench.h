// A test acting as the USB bus for simulated QZ719 chips: setup packets, IN
// and OUT tokens, inside a booted deterministic scheduler, with time passing
// only on the simulated clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "hardware/line/line_types.h"
#include "hardware/qz719/qz719_chip.h"
#include "hardware/qz719/qz719_protocol.h"
#include "sim/scheduler.h"
#include "usb/usb_device.h"

namespace vax::hw::test {

using qz719::Qz719Chip;
using usb::Handshake;

struct ControlResult {
  Handshake handshake;
  std::vector<std::uint8_t> data;  // what an IN request returned
};

inline ControlResult Request(usb::UsbDevice& chip, std::uint8_t type, std::uint8_t request,
                             std::uint16_t value = 0, std::uint16_t index = 0,
                             std::uint16_t length = 0) {
  std::vector<std::uint8_t> buffer(length);
  std::size_t actual = 0;
  Handshake h = chip.Control({type, request, value, index, length}, buffer, &actual);
  buffer.resize((type & 0x80) ? actual : 0);
  return {h, buffer};
}

inline Handshake VendorOut(usb::UsbDevice& chip, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index) {
  return Request(chip, qz719::kRequestTypeVendorOut, request, value, index).handshake;
}

inline ControlResult VendorIn(usb::UsbDevice& chip, std::uint8_t request, std::uint16_t value,
                              std::uint16_t index, std::uint16_t length) {
  return Request(chip, qz719::kRequestTypeVendorIn, request, value, index, length);
}

inline Handshake WriteRegs(usb::UsbDevice& chip, std::uint8_t reg_a, std::uint8_t val_a,
                           std::uint8_t reg_b, std::uint8_t val_b) {
  return VendorOut(chip, qz719::VR_WRITE_REGS, std::uint16_t(reg_a | reg_b << 8),
                   std::uint16_t(val_a | val_b << 8));
}

inline Handshake WriteReg(usb::UsbDevice& chip, std::uint8_t reg, std::uint8_t value) {
  return WriteRegs(chip, reg, value, reg, value);
}

// The register's value, or nullopt when the chip stalls the read.
inline std::optional<std::uint8_t> ReadReg(usb::UsbDevice& chip, std::uint8_t reg) {
  ControlResult r = VendorIn(chip, qz719::VR_READ_REGS, std::uint16_t(reg | reg << 8), 0, 2);
  if (r.handshake != Handshake::kAck || r.data.size() != 2)
    return std::nullopt;
  return r.data[0];
}

inline void SetConfiguration(usb::UsbDevice& chip, std::uint16_t value = 1) {
  ASSERT_EQ(Request(chip, 0x00, 9, value).handshake, Handshake::kAck);
}

// Programs rate and frame the way the chip takes them: prescaler and divisor
// in one request, then the two line-control registers.
inline void ProgramLine(Qz719Chip& chip, std::uint8_t prescaler, std::uint8_t divisor,
                        std::uint8_t lcr1, std::uint8_t lcr2 = 0) {
  if (chip.traits().prescaler_enable_bit)
    prescaler |= qz719::kPrescalerEnable;
  ASSERT_EQ(WriteRegs(chip, qz719::REG_PRESCALER, prescaler, qz719::REG_DIVISOR, divisor),
            Handshake::kAck);
  ASSERT_EQ(WriteRegs(chip, qz719::REG_LCR1, lcr1, qz719::REG_LCR2, lcr2), Handshake::kAck);
}

// REG_LCR1 for 8 data bits, no parity, one stop bit, no break.
inline std::uint8_t Lcr1For8N1(const Qz719Chip& chip) {
  return chip.traits().new_line_control ? 0x43 : 0x40;
}

// Every byte the chip answers on bulk-IN during `duration`, polling like a
// bus once per 1-ms frame.
inline std::vector<std::uint8_t> DrainBulkIn(usb::UsbDevice& chip, sim::Ticks duration) {
  std::vector<std::uint8_t> out;
  sim::Ticks end = sim::Now() + duration;
  do {
    for (int packets = 0; packets < 16; ++packets) {
      std::uint8_t packet[32];
      std::size_t actual = 0;
      if (chip.In(0x82, packet, &actual) != Handshake::kAck)
        break;
      out.insert(out.end(), packet, packet + actual);
      if (actual < sizeof packet)
        break;
    }
    sim::SleepFor(sim::kTicksPerMs, "test bus frame");
  } while (sim::Now() < end);
  return out;
}

// Sends `bytes` on bulk-OUT in 32-byte packets, retrying NAKed packets once
// per frame, for at most `limit` of simulated time; returns the bytes taken.
inline std::size_t WriteBulkOut(usb::UsbDevice& chip, const std::vector<std::uint8_t>& bytes,
                                sim::Ticks limit = sim::kTicksPerSecond) {
  std::size_t sent = 0;
  sim::Ticks end = sim::Now() + limit;
  while (sent < bytes.size() && sim::Now() < end) {
    std::size_t n = std::min<std::size_t>(32, bytes.size() - sent);
    if (chip.Out(0x02, std::span(bytes.data() + sent, n)) == Handshake::kAck) {
      sent += n;
    } else {
      sim::SleepFor(sim::kTicksPerMs, "test bus frame");
    }
  }
  return sent;
}

// Records the endpoints the chip announces, with the time of each.
struct ActivityLog {
  explicit ActivityLog(usb::UsbDevice& chip) {
    chip.SetActivityListener([this](std::uint8_t endpoint) {
      events.push_back({endpoint, sim::Now()});
    });
  }
  std::optional<sim::Ticks> First(std::uint8_t endpoint) const {
    for (const auto& e : events) {
      if (e.first == endpoint)
        return e.second;
    }
    return std::nullopt;
  }
  std::vector<std::pair<std::uint8_t, sim::Ticks>> events;
};

// Each test boots its own deterministic scheduler (seed from VAX_SEED).
class SimTest : public ::testing::Test {
 protected:
  sim::Scheduler scheduler_{sim::Options::FromEnvironment()};
};

}  // namespace vax::hw::test
