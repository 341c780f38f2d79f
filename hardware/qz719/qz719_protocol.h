// The QZ719's side of its USB protocol: vendor request codes, registers and
// their bits, the status packet, and what each generation of the chip does
// differently. Generation differences live in one table (GenerationTraits)
// rather than in tests of the version scattered through the model.
#pragma once

#include <cstdint>

namespace vax::hw::qz719 {

// Vendor requests (bmRequestType 0x40 host-to-device, 0xC0 device-to-host).
enum VendorRequest : std::uint8_t {
  VR_STATUS_BLOCK = 0x52,   // IN: the 8-byte status block
  VR_BYTE_COMMAND = 0x53,   // OUT: start a byte access (older chips)
  VR_BYTE_ACCESS = 0x54,    // IN or OUT: byte access (0x20 and later)
  VR_BYTE_FINISH = 0x5E,    // OUT: commit a staged byte write
  VR_GET_VERSION = 0x5F,    // IN: version byte, revision byte
  VR_READ_REGS = 0x95,      // IN: two registers named in wValue
  VR_WRITE_REGS = 0x9A,     // OUT: two registers in wValue, values in wIndex
  VR_SERIAL_INIT = 0xA1,    // OUT: reset the serial engine, load the present registers
  VR_MODEM_CONTROL = 0xA4,  // OUT: modem-control outputs, active low (0x20 and later)
};

constexpr std::uint8_t kRequestTypeVendorOut = 0x40;
constexpr std::uint8_t kRequestTypeVendorIn = 0xC0;

// Registers.
enum Register : std::uint8_t {
  REG_LINE_AUX = 0x05,
  REG_MODEM = 0x06,
  REG_TX_STATUS = 0x07,
  REG_CHAR_TIME_HIGH = 0x0F,  // high byte of the receive timer; the driver writes 0
  REG_PRESCALER = 0x12,
  REG_DIVISOR = 0x13,
  REG_LCR1 = 0x18,
  REG_LCR2 = 0x25,
  REG_HW_FLOW = 0x27,
  REG_CHAR_TIME = 0x2C,
};

// REG_LINE_AUX
constexpr std::uint8_t kAuxNoBreak = 0x01;          // 0 = drive a break
constexpr std::uint8_t kAuxFramingNotBreak = 0x02;  // last line error: 1 framing, 0 break (0x30+)
constexpr std::uint8_t kAuxWholePackets = 0x10;     // 0x25 only, see GenerationTraits
// REG_MODEM: every line bit is 0 while the line is asserted.
constexpr std::uint8_t kModemCts = 0x01, kModemDsr = 0x02, kModemRi = 0x04, kModemDcd = 0x08;
constexpr std::uint8_t kModemOut3 = 0x10, kModemDtr = 0x20, kModemRts = 0x40;
constexpr std::uint8_t kModemInputMask = 0x0F, kModemOutputMask = 0x70;
// REG_TX_STATUS
constexpr std::uint8_t kTxBusy = 0x01;
// REG_LCR1
constexpr std::uint8_t kLcr1NoBreak = 0x40;   // 0 = drive a break (all generations)
constexpr std::uint8_t kLcr1NinthBit = 0x80;  // before 0x30: send a ninth bit
// REG_HW_FLOW (0x30 and later): hold the transmitter while the line is low.
constexpr std::uint8_t kFlowCts = 0x01, kFlowDsr = 0x02, kFlowDcd = 0x08;
// REG_PRESCALER
constexpr std::uint8_t kPrescalerCodeMask = 0x07;
constexpr std::uint8_t kPrescalerEnable = 0x80;  // 0x30 and later: generator runs only when set

// Status packet byte 0 (and status block byte 0).
constexpr std::uint8_t kStatusOverrun = 0x02;
constexpr std::uint8_t kStatusLineError = 0x04;
constexpr std::uint8_t kStatusEvent1 = 0x10;
constexpr std::uint8_t kStatusBreakOrFraming = 0x40;  // 0x30 and later

// VR_SERIAL_INIT presence flags (wValue low byte).
constexpr std::uint8_t kInitLcr1High = 0x01;  // before 0x30: LCR1 bits 4-7
constexpr std::uint8_t kInitLcr2Low = 0x02;   // before 0x30: LCR2 bits 0-3
constexpr std::uint8_t kInitPrescaler = 0x04;
constexpr std::uint8_t kInitDivisor = 0x08;
constexpr std::uint8_t kInitCharTime = 0x10;
constexpr std::uint8_t kInitLcr1 = 0x80;  // 0x30 and later: the whole LCR1

// VR_BYTE_FINISH commits a staged write only with this value.
constexpr std::uint16_t kByteFinishCommit = 10;

struct GenerationTraits {
  const char* name;
  std::uint8_t bMaxPower;       // the driver tells generation 1 by 0x40
  bool answers_version;         // VR_GET_VERSION (generation 1 stalls it)
  bool modem_control_request;   // VR_MODEM_CONTROL drives the outputs
  bool modem_register_outputs;  // REG_MODEM writes drive the outputs
  bool byte_access_request;     // VR_BYTE_ACCESS and VR_BYTE_FINISH
  bool status_packets;          // interrupt endpoint 0x81 sends status packets
  bool new_line_control;        // LCR1 word length/parity/stop layout instead of the ninth bit
  bool hw_flow;                 // REG_HW_FLOW exists
  bool prescaler_enable_bit;    // REG_PRESCALER bit 7 must be set for the generator to run
  bool reports_break_kind;      // status bit 6 and REG_LINE_AUX bit 1
  // Revision 0x25 powers up with REG_LINE_AUX bit 4 set, which makes bulk-IN
  // answer only whole 32-byte packets (the receive timer never releases a
  // partial one); its driver clears the bit once at initialisation.
  bool whole_packets_bit;
  std::uint8_t line_aux_power_on;
};

// The row for a version byte: below 0x20 generation 1; 0x25 its own; other
// 0x20-0x2F values 0x20; 0x30 and above 0x30.
const GenerationTraits& TraitsFor(std::uint8_t version);

}  // namespace vax::hw::qz719
