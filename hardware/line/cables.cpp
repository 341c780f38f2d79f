#include "hardware/line/cables.h"

namespace vax::hw {

ModemInputs NullModemCable::Crossed(const ModemOutputs& far) {
  ModemInputs in;
  in.cts = far.rts;
  in.dsr = far.dtr;
  in.dcd = far.dtr;
  return in;
}

LoopbackPlug::LoopbackPlug(SerialEndpoint& end) : end_(end) {
  end_.AttachRx(&end_.TxWire());
  end_.SetOutputsListener(
      [this](const ModemOutputs& out) { end_.SetModemInputs(NullModemCable::Crossed(out)); });
  end_.SetModemInputs(NullModemCable::Crossed(end_.GetModemOutputs()));
}

LoopbackPlug::~LoopbackPlug() {
  end_.SetOutputsListener({});
  end_.AttachRx(nullptr);
  end_.SetModemInputs({});
}

NullModemCable::NullModemCable(SerialEndpoint& a, SerialEndpoint& b) : a_(a), b_(b) {
  a_.AttachRx(&b_.TxWire());
  b_.AttachRx(&a_.TxWire());
  a_.SetOutputsListener([this](const ModemOutputs& out) { b_.SetModemInputs(Crossed(out)); });
  b_.SetOutputsListener([this](const ModemOutputs& out) { a_.SetModemInputs(Crossed(out)); });
  b_.SetModemInputs(Crossed(a_.GetModemOutputs()));
  a_.SetModemInputs(Crossed(b_.GetModemOutputs()));
}

NullModemCable::~NullModemCable() {
  a_.SetOutputsListener({});
  b_.SetOutputsListener({});
  a_.AttachRx(nullptr);
  b_.AttachRx(nullptr);
  a_.SetModemInputs({});
  b_.SetModemInputs({});
}

}  // namespace vax::hw
