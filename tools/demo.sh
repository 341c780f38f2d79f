#!/usr/bin/env bash
# Builds the optimised host test bed and runs the demo on the simulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target vaxsim
exec build/host-release/tools/vaxsim/vaxsim selftest "$@"
