#!/usr/bin/env bash
# The shipped x86 service in a fresh 32-bit prefix: install, start, its start-up lines, stop;
# also started from a console, where it must end with the dispatcher's error.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/service_lib.sh"
. "$(dirname "$0")/service_basic.sh"
service_basic x86 console-start
