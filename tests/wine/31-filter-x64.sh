#!/usr/bin/env bash
# The driver test of 30-filter-x86.sh with the x64 driver in a 64-bit prefix.
exec bash "$(dirname "$0")/30-filter-x86.sh" x64
