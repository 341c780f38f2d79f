// A far end that a test drives by hand: plugged into a device's connector in
// place of a cable, it sends characters or breaks at a rate and frame of its
// choosing, drives the device's CTS, DSR, RI and DCD, samples what the device
// sends with its own receive settings, and shows the device's DTR and RTS.
// It has no thread: what arrived is sampled when the test asks.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "hardware/line/line_types.h"
#include "hardware/line/serial_endpoint.h"
#include "hardware/line/uart.h"
#include "hardware/line/wire.h"
#include "sim/scheduler.h"

namespace vax::hw {

class ScriptedPeer : private WireListener {
 public:
  ScriptedPeer(SerialEndpoint& far, const LineSettings& settings);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  void SetSettings(const LineSettings& settings);  // both directions
  void SetTxSettings(const LineSettings& settings);
  void SetRxSettings(const LineSettings& settings);

  // Queued behind whatever is still going out, from now on.
  void Send(std::span<const std::uint8_t> bytes);
  void Send(std::string_view text);
  void SendBreak(sim::Ticks duration);
  // When everything queued so far will have been sent.
  sim::Ticks TxDoneAt();

  // The device's modem-status inputs, as this end drives them.
  void SetLines(const ModemInputs& lines);
  // The device's modem-control outputs.
  ModemOutputs FarOutputs();

  // Everything sampled up to now, in order, and forgets it.
  std::vector<ReceivedChar> TakeReceived();
  // The same, values only.
  std::vector<std::uint8_t> TakeBytes();

 private:
  void DecodeLocked(LineTime now);
  void OnWireActivity() override;

  SerialEndpoint& far_;
  sim::Mutex mu_;
  Wire tx_wire_;                        // locks itself
  UartTransmitter transmitter_;         // guarded by mu_
  UartReceiver receiver_;               // guarded by mu_
  std::vector<ReceivedChar> received_;  // guarded by mu_
  ModemOutputs far_outputs_;            // guarded by mu_
};

}  // namespace vax::hw
