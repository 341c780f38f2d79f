// The serial connector of a device: what plugs into what on the line side.
//
// An endpoint transmits on a wire of its own (TxWire), samples whatever wire a
// cable attaches to its receive input (AttachRx), drives modem-control outputs
// and sees modem-status inputs. Cables and peers (cables.h, scripted_peer.h,
// pty_bridge.h) connect endpoints; an endpoint knows nothing of what is on the
// other side.
#pragma once

#include <functional>

#include "hardware/line/line_types.h"
#include "hardware/line/wire.h"
#include "sim/scheduler.h"

namespace vax::hw {

class SerialEndpoint {
 public:
  virtual ~SerialEndpoint() = default;

  // The wire this endpoint transmits on.
  virtual Wire& TxWire() = 0;
  // The wire this endpoint samples from now on; nullptr leaves the input
  // unconnected (idle mark).
  virtual void AttachRx(Wire* wire) = 0;
  // Modem-status inputs as the far end drives them.
  virtual void SetModemInputs(const ModemInputs& inputs) = 0;
  virtual ModemOutputs GetModemOutputs() = 0;

  // The cable's hook, called with the new outputs after every change, with no
  // lock of the endpoint held. One listener at a time; an empty function
  // removes it.
  void SetOutputsListener(std::function<void(const ModemOutputs&)> listener);

 protected:
  void NotifyOutputs(const ModemOutputs& outputs);

 private:
  sim::Mutex listener_mu_;
  std::function<void(const ModemOutputs&)> listener_;  // guarded by listener_mu_
};

}  // namespace vax::hw
