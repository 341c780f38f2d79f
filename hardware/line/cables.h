// Passive wiring between serial endpoints. Each object connects on
// construction and disconnects on destruction; destroy it before the
// endpoints it joins.
#pragma once

#include "hardware/line/serial_endpoint.h"

namespace vax::hw {

// A loopback plug on one connector: TXD to RXD, RTS to CTS, DTR to DSR and
// DCD. RI and the third output are not wired.
class LoopbackPlug {
 public:
  explicit LoopbackPlug(SerialEndpoint& end);
  ~LoopbackPlug();
  LoopbackPlug(const LoopbackPlug&) = delete;
  LoopbackPlug& operator=(const LoopbackPlug&) = delete;

 private:
  SerialEndpoint& end_;
};

// A null-modem cable between two terminal ends: each TXD to the other's RXD,
// each RTS to the other's CTS, each DTR to the other's DSR and DCD.
class NullModemCable {
 public:
  NullModemCable(SerialEndpoint& a, SerialEndpoint& b);
  ~NullModemCable();
  NullModemCable(const NullModemCable&) = delete;
  NullModemCable& operator=(const NullModemCable&) = delete;

  // What a terminal end sees when the far end drives `far`.
  static ModemInputs Crossed(const ModemOutputs& far);

 private:
  SerialEndpoint& a_;
  SerialEndpoint& b_;
};

}  // namespace vax::hw
