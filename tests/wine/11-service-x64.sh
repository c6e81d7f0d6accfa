#!/usr/bin/env bash
# The shipped x64 service in a fresh 64-bit prefix: install, start, its start-up lines, stop.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/service_lib.sh"
. "$(dirname "$0")/service_basic.sh"
service_basic x64
