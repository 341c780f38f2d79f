#include "hardware/line/serial_endpoint.h"

#include <mutex>

namespace vax::hw {

void SerialEndpoint::SetOutputsListener(std::function<void(const ModemOutputs&)> listener) {
  std::lock_guard lock(listener_mu_);
  listener_ = std::move(listener);
}

void SerialEndpoint::NotifyOutputs(const ModemOutputs& outputs) {
  std::function<void(const ModemOutputs&)> listener;
  {
    std::lock_guard lock(listener_mu_);
    listener = listener_;
  }
  if (listener)
    listener(outputs);
}

}  // namespace vax::hw
