// The system's configuration record: counts of devices by class that class
// drivers keep up to date (serial drivers raise SerialCount per port).
#include <cstring>

#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

CONFIGURATION_INFORMATION& Configuration() {
  static CONFIGURATION_INFORMATION configuration;
  return configuration;
}

}  // namespace

namespace io {

void ResetConfiguration() {
  std::memset(&Configuration(), 0, sizeof(CONFIGURATION_INFORMATION));
  Configuration().Version = 0;
}

}  // namespace io
}  // namespace vax::kernel

extern "C" PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(void) {
  return &vax::kernel::Configuration();
}
