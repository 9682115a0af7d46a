#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test: formatting, the local service's own suite, the package checks and the client's
# suites.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" --test asan
cd "$root"
echo "The audio tests run on a private $(bash scripts/pulse-test-server.sh kind) server" \
  "(scripts/pulse-test-server.sh)."
ctest --preset asan
