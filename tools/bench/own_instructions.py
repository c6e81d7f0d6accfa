#!/usr/bin/env python3
"""Instructions of the volume pass's own code, from a callgrind profile collected inside
CompressVolume (--toggle-collect). The simulated Windows is left out: every call from the pass's
code (or from a library routine it called) into an os:: or sim:: function is subtracted with all
that it cost inclusively.

usage: own_instructions.py callgrind.out records
prints: total instructions, simulated-Windows instructions, own instructions and own per record.
"""
import re
import sys

NAME = re.compile(r"\((\d+)\)(?: (.*))?")


def is_simulated(name):
    return name.startswith("os::") or name.startswith("sim::")


def main():
    path, records = sys.argv[1], int(sys.argv[2])
    names = {}

    def resolve(text):
        match = NAME.match(text.strip())
        if not match:
            return text.strip()
        ident, name = match.groups()
        if name is not None:
            names[ident] = name
        return names.get(ident, "")

    caller = ""
    callee = ""
    call_line = False
    total = 0
    simulated = 0
    with open(path) as profile:
        for line in profile:
            if line.startswith("fn="):
                caller = resolve(line[3:])
            elif line.startswith("cfn="):
                callee = resolve(line[4:])
            elif line.startswith("calls="):
                call_line = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if call_line:
                    if is_simulated(callee) and not is_simulated(caller):
                        simulated += cost
                    call_line = False
                else:
                    total += cost
    own = total - simulated
    print(f"{records} records: {total} instructions in the pass, {simulated} in the simulated Windows, "
          f"{own} own = {own / records:.1f} own instructions/record")


if __name__ == "__main__":
    main()
