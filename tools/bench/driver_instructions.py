#!/usr/bin/env python3
"""Instructions of the driver's own code per read, from a callgrind profile of bench_filter
collected inside the driver's callbacks and work items (--toggle-collect). Only the driver's
functions count (its callbacks and the helpers of filter.cpp's anonymous namespace): the
simulated kernel, and the C library it calls, are left out.

usage: driver_instructions.py callgrind.out reads
"""
import re
import sys

NAME = re.compile(r"\((\d+)\)(?: (.*))?")


def is_driver(name):
    return name.startswith(("On", "(anonymous namespace)::", "CheckWorker", "FilterUnload", "DriverEntry"))


def main():
    path, reads = sys.argv[1], int(sys.argv[2])
    names = {}

    def resolve(text):
        match = NAME.match(text.strip())
        if not match:
            return text.strip()
        ident, name = match.groups()
        if name is not None:
            names[ident] = name
        return names.get(ident, "")

    function = ""
    call_line = False
    own = 0
    with open(path) as profile:
        for line in profile:
            if line.startswith("fn="):
                function = resolve(line[3:])
            elif line.startswith("cfn="):
                resolve(line[4:])
            elif line.startswith("calls="):
                call_line = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                if call_line:
                    call_line = False  # a call's inclusive cost, counted where it was spent
                elif is_driver(function):
                    own += int(fields[1]) if len(fields) > 1 else 0
    print(f"{reads} reads: {own} own instructions = {own / reads:.1f} per read")


if __name__ == "__main__":
    main()
