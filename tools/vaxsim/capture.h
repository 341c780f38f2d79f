#pragma once

#include <cstdint>
#include <string>

namespace vax::tools {

struct CaptureOptions {
  std::string file;                // the usbmon pcap to write
  std::uint8_t generation = 0x20;  // the chip's version byte
};

// Plugs one QZ719 with a loopback plug into the simulated bus and drives it
// through URBs alone: configuration, registers, a rate and a frame, bytes
// out and back. Every URB goes to the capture file. The last line printed is
// "urbs <n> bytes <n>". Returns the process exit code.
int RunCapture(const CaptureOptions& options);

}  // namespace vax::tools
