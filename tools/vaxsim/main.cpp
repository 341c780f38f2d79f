// vaxsim: the project's command-line front on the simulated machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vaxsim/capture.h"
#include "vaxsim/ports.h"
#include "vaxsim/selftest.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vaxsim selftest [--seed N] [--free] [--threads K] [--virtual-ms M]\n"
               "       vaxsim capture FILE [--generation G]\n"
               "       vaxsim ports [--chips N] [--portname COMx]\n");
  return 2;
}

bool ParseNumber(const char* text, long long* out) {
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || v < 0)
    return false;
  *out = v;
  return true;
}

int Selftest(int argc, char** argv) {
  vax::tools::SelftestOptions options;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    long long value = 0;
    bool has_value = i + 1 < argc;
    if (arg == "--free") {
      options.free = true;
    } else if (arg == "--seed" && has_value && ParseNumber(argv[++i], &value)) {
      options.seed = static_cast<std::uint64_t>(value);
    } else if (arg == "--threads" && has_value && ParseNumber(argv[++i], &value) && value > 0 &&
               value <= 64) {
      options.threads = static_cast<int>(value);
    } else if (arg == "--virtual-ms" && has_value && ParseNumber(argv[++i], &value)) {
      options.virtual_ms = value;
    } else {
      return Usage();
    }
  }
  return vax::tools::RunSelftest(options);
}

// vaxsim capture FILE [--generation G]; G in decimal or 0x hex.
int Capture(int argc, char** argv) {
  if (argc < 1)
    return Usage();
  vax::tools::CaptureOptions options;
  options.file = argv[0];
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--generation" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long value = std::strtoul(argv[++i], &end, 0);
      if (end == argv[i] || *end != '\0' || value == 0 || value > 0xFF)
        return Usage();
      options.generation = static_cast<std::uint8_t>(value);
    } else {
      return Usage();
    }
  }
  return vax::tools::RunCapture(options);
}

int Ports(int argc, char** argv) {
  vax::tools::PortsOptions options;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    long long value = 0;
    bool has_value = i + 1 < argc;
    if (arg == "--chips" && has_value && ParseNumber(argv[++i], &value) && value >= 1 &&
        value <= 16) {
      options.chips = static_cast<int>(value);
    } else if (arg == "--portname" && has_value) {
      options.port_name = argv[++i];
    } else {
      return Usage();
    }
  }
  return vax::tools::RunPorts(options);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return Usage();
  std::string command = argv[1];
  if (command == "selftest")
    return Selftest(argc - 2, argv + 2);
  if (command == "ports")
    return Ports(argc - 2, argv + 2);
  if (command == "capture")
    return Capture(argc - 2, argv + 2);
  return Usage();
}
