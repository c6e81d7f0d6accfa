#!/usr/bin/env python3
"""Instructions of the driver's own code per read, from a callgrind profile of bench_filter
collected inside the driver's callbacks and work items (--toggle-collect). Only the driver's
functions count (its callbacks and the helpers of filter.cpp's anonymous namespace): the
simulated kernel, and the C library it calls, are left out.

usage: driver_instructions.py callgrind.out reads
"""
import sys

from callgrind import costs


def is_driver(name):
    return name.startswith(("On", "(anonymous namespace)::", "CheckWorker", "FilterUnload", "DriverEntry"))


def main():
    path, reads = sys.argv[1], int(sys.argv[2])
    # A call's inclusive cost is counted where it was spent, not at the call.
    own = sum(cost for function, callee, cost in costs(path) if callee is None and is_driver(function))
    print(f"{reads} reads: {own} own instructions = {own / reads:.1f} per read")


if __name__ == "__main__":
    main()
