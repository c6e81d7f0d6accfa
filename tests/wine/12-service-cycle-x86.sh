#!/usr/bin/env bash
# One cycle of the x86 test build (cycle after 5 s) in a fresh prefix: C: opened, no change
# journal under Wine, the statistics file written beside the program.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/service_lib.sh"
. "$(dirname "$0")/service_cycle.sh"
service_cycle x86
