// Makes the far end of a device's serial line a Linux pseudo-terminal, so
// that ordinary serial programs can talk to the simulated device: what they
// write to the pty's slave goes down the line at the slave's speed, what the
// device sends is sampled at that speed and appears on the slave. Speed
// changes made on the slave (tcsetattr) are followed through packet mode; a
// pty carries no word length or parity (Linux forces 8 bits), so the frame
// stays 8N1.
//
// A sim thread polls the pty's master without blocking, every `poll` of
// simulated time; nothing waits on the host.
#pragma once

#include <string>
#include <vector>

#include "hardware/line/line_types.h"
#include "hardware/line/serial_endpoint.h"
#include "hardware/line/uart.h"
#include "hardware/line/wire.h"
#include "sim/scheduler.h"

namespace vax::hw {

class PtyBridge : private WireListener {
 public:
  PtyBridge(SerialEndpoint& far, std::uint32_t initial_rate_bps = 9600,
            sim::Ticks poll = sim::kTicksPerMs);
  ~PtyBridge();
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  // False when no pty could be opened (then nothing is connected).
  bool ok() const { return master_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }
  // The line settings in force (the slave's speed, 8N1).
  LineSettings settings();

  // termios speed constant to bit/s; 0 for B0 or an unknown constant.
  static std::uint32_t SpeedToBps(unsigned speed);

 private:
  void ThreadMain();
  void PollOnce();
  void FollowSpeed(LineTime now);
  void DecodeLocked(LineTime now);
  void OnWireActivity() override;

  SerialEndpoint& far_;
  const sim::Ticks poll_;
  int master_ = -1;
  std::string slave_path_;

  sim::Mutex mu_;
  Wire tx_wire_;                         // locks itself
  UartTransmitter transmitter_;          // guarded by mu_
  UartReceiver receiver_;                // guarded by mu_
  std::vector<ReceivedChar> received_;   // guarded by mu_ (scratch)
  std::vector<std::uint8_t> to_master_;  // guarded by mu_: sampled, not yet written to the pty
  bool stopping_ = false;                // guarded by mu_
  sim::Thread* thread_ = nullptr;
};

}  // namespace vax::hw
