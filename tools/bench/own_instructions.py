#!/usr/bin/env python3
"""Instructions of the volume pass's own code, from a callgrind profile collected inside
CompressVolume (--toggle-collect). The simulated Windows is left out: every call from the pass's
code (or from a library routine it called) into an os:: or sim:: function is subtracted with all
that it cost inclusively.

usage: own_instructions.py callgrind.out records
prints: total instructions, simulated-Windows instructions, own instructions and own per record.
"""
import sys

from callgrind import costs


def is_simulated(name):
    return name.startswith("os::") or name.startswith("sim::")


def main():
    path, records = sys.argv[1], int(sys.argv[2])
    total = simulated = 0
    for caller, callee, cost in costs(path):
        if callee is None:
            total += cost
        elif is_simulated(callee) and not is_simulated(caller):
            simulated += cost
    own = total - simulated
    print(f"{records} records: {total} instructions in the pass, {simulated} in the simulated Windows, "
          f"{own} own = {own / records:.1f} own instructions/record")


if __name__ == "__main__":
    main()
