#pragma once

#include <string>

namespace vax::tools {

struct PortsOptions {
  int chips = 2;
  std::string port_name;  // "PortName" of the first chip; empty: none
};

// Plugs the chips, loads the driver and prints what each port became;
// returns the process exit code.
int RunPorts(const PortsOptions& options);

}  // namespace vax::tools
