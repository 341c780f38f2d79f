#include "hardware/line/scripted_peer.h"

#include <mutex>

namespace vax::hw {

ScriptedPeer::ScriptedPeer(SerialEndpoint& far, const LineSettings& settings)
    : far_(far), transmitter_(&tx_wire_, UartTransmitter::kUnlimited) {
  LineTime now = LineNow();
  {
    std::lock_guard lock(mu_);
    transmitter_.Configure(settings, now);
    receiver_.Configure(settings, now);
    receiver_.Restart(now);
    far_.TxWire().Attach(this);
  }
  far_.AttachRx(&tx_wire_);
  far_.SetOutputsListener([this](const ModemOutputs& out) {
    std::lock_guard lock(mu_);
    far_outputs_ = out;
  });
  ModemOutputs outputs = far_.GetModemOutputs();
  {
    std::lock_guard lock(mu_);
    far_outputs_ = outputs;
  }
}

ScriptedPeer::~ScriptedPeer() {
  far_.SetOutputsListener({});
  far_.AttachRx(nullptr);
  far_.SetModemInputs({});
  std::lock_guard lock(mu_);
  far_.TxWire().Attach(nullptr);
}

void ScriptedPeer::SetSettings(const LineSettings& settings) {
  SetTxSettings(settings);
  SetRxSettings(settings);
}

void ScriptedPeer::SetTxSettings(const LineSettings& settings) {
  std::lock_guard lock(mu_);
  transmitter_.Configure(settings, LineNow());
}

void ScriptedPeer::SetRxSettings(const LineSettings& settings) {
  std::lock_guard lock(mu_);
  LineTime now = LineNow();
  DecodeLocked(now);
  receiver_.Configure(settings, now);
}

void ScriptedPeer::Send(std::span<const std::uint8_t> bytes) {
  {
    std::lock_guard lock(mu_);
    transmitter_.Push(bytes, LineNow());
  }
  tx_wire_.KickReceiver();
}

void ScriptedPeer::Send(std::string_view text) {
  Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void ScriptedPeer::SendBreak(sim::Ticks duration) {
  {
    std::lock_guard lock(mu_);
    transmitter_.PushBreak(ToLineTime(duration), LineNow());
  }
  tx_wire_.KickReceiver();
}

sim::Ticks ScriptedPeer::TxDoneAt() {
  std::lock_guard lock(mu_);
  return ToTicksCeil(transmitter_.IdleAt(LineNow()));
}

void ScriptedPeer::SetLines(const ModemInputs& lines) {
  far_.SetModemInputs(lines);
}

ModemOutputs ScriptedPeer::FarOutputs() {
  std::lock_guard lock(mu_);
  return far_outputs_;
}

std::vector<ReceivedChar> ScriptedPeer::TakeReceived() {
  std::lock_guard lock(mu_);
  DecodeLocked(LineNow());
  std::vector<ReceivedChar> out;
  out.swap(received_);
  return out;
}

std::vector<std::uint8_t> ScriptedPeer::TakeBytes() {
  std::vector<std::uint8_t> bytes;
  for (const ReceivedChar& c : TakeReceived())
    bytes.push_back(c.value);
  return bytes;
}

void ScriptedPeer::DecodeLocked(LineTime now) {
  receiver_.Decode(far_.TxWire(), now, &received_);
}

void ScriptedPeer::OnWireActivity() {
  // Rung when the device's wire grows long: sample it so it can be trimmed.
  std::lock_guard lock(mu_);
  DecodeLocked(LineNow());
}

}  // namespace vax::hw
