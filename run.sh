#!/usr/bin/env bash
# Sets up, builds, and runs the main job: kelvane-tarn-test.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

kiv_setup_packages
kiv_build build

bin=build/bin/kelvane-tarn-test
"$bin" --help
# The test list of this build (the program takes the test framework's flags).
timeout 60 "$bin" -c local -f tarn --gtest_list_tests
