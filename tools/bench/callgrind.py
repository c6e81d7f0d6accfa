"""Reads a callgrind profile: one (function, callee, cost) per cost line, callee None for the
function's own cost and the callee's name for a call's inclusive cost."""
import re

NAME = re.compile(r"\((\d+)\)(?: (.*))?")


def costs(path):
    names = {}

    def resolve(text):
        # Names are compressed: "(id) name" the first time, "(id)" after.
        match = NAME.match(text.strip())
        if not match:
            return text.strip()
        ident, name = match.groups()
        if name is not None:
            names[ident] = name
        return names.get(ident, "")

    function = callee = ""
    call_line = False
    with open(path) as profile:
        for line in profile:
            if line.startswith("fn="):
                function = resolve(line[3:])
            elif line.startswith("cfn="):
                callee = resolve(line[4:])
            elif line.startswith("calls="):
                call_line = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                yield function, callee if call_line else None, int(fields[1]) if len(fields) > 1 else 0
                call_line = False
