#pragma once

#include <cstdint>

namespace vax::tools {

struct SelftestOptions {
  std::uint64_t seed = 1;
  bool free = false;
  int threads = 4;
  long long virtual_ms = 1000;
};

// Runs the workload; returns the process exit code.
int RunSelftest(const SelftestOptions& options);

}  // namespace vax::tools
