#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test: formatting, the local service's own suite and the client's suites.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" asan
cd "$root"
ctest --preset asan
