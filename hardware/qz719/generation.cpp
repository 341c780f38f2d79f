#include "hardware/qz719/qz719_protocol.h"

namespace vax::hw::qz719 {
namespace {

// clang-format off
constexpr GenerationTraits kGeneration1 = {
    "generation 1", 0x40,
    /*answers_version=*/false, /*modem_control_request=*/false, /*modem_register_outputs=*/true,
    /*byte_access_request=*/false, /*status_packets=*/false, /*new_line_control=*/false,
    /*hw_flow=*/false, /*prescaler_enable_bit=*/false, /*reports_break_kind=*/false,
    /*whole_packets_bit=*/false, /*line_aux_power_on=*/kAuxNoBreak};
constexpr GenerationTraits kGeneration20 = {
    "generation 0x20", 0x32,
    true, true, false,
    true, true, false,
    false, false, false,
    false, kAuxNoBreak};
constexpr GenerationTraits kGeneration25 = {
    "generation 0x25", 0x32,
    true, true, false,
    true, true, false,
    false, false, false,
    true, kAuxNoBreak | kAuxWholePackets};
constexpr GenerationTraits kGeneration30 = {
    "generation 0x30", 0x32,
    true, true, false,
    true, true, true,
    true, true, true,
    false, kAuxNoBreak};
// clang-format on

}  // namespace

const GenerationTraits& TraitsFor(std::uint8_t version) {
  if (version < 0x20)
    return kGeneration1;
  if (version == 0x25)
    return kGeneration25;
  if (version < 0x30)
    return kGeneration20;
  return kGeneration30;
}

}  // namespace vax::hw::qz719
