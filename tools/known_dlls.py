#!/usr/bin/env python3
"""Checks that a program imports only DLLs the loader takes from the system folder whatever lies
beside the program: the KnownDLLs of HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\
KnownDLLs that Windows 7 and every later version list (the entries some versions add or drop,
such as lpk, usp10, urlmon, wininet, iertutil, combase, gdiplus or shcore, are left out), and
ntdll, which the kernel maps into every process before any search. comctl32 is not one of them.

Reads the import and delay-import directories of the PE file. Exit status 1 and one line per
other DLL when there is one.

Usage: known_dlls.py PROGRAM.exe"""
import struct
import sys

KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll",
    "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll",
    "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
    "ntdll.dll",
}


def imported_dlls(data):
    if data[0:2] != b"MZ":
        raise SystemExit("known_dlls: not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("known_dlls: not a PE file")
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<4I", data, at + 8)
        sections.append((virtual_address, max(virtual_size, raw_size), raw_offset))

    def offset(rva):
        for address, size, raw in sections:
            if address <= rva < address + size:
                return rva - address + raw
        raise SystemExit("known_dlls: address 0x%x lies in no section" % rva)

    def name_at(rva):
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode("ascii").lower()

    names = []
    # Import directory (entry 1): 20-byte descriptors, the name's address at byte 12.
    # Delay-import directory (entry 13): 32-byte descriptors, the name's address at byte 4.
    for entry, size, name_field in ((1, 20, 12), (13, 32, 4)):
        rva, length = struct.unpack_from("<II", data, directories + 8 * entry)
        if rva == 0 or length == 0:
            continue
        at = offset(rva)
        while True:
            descriptor = data[at:at + size]
            if len(descriptor) < size or descriptor == bytes(size):
                break
            names.append(name_at(struct.unpack_from("<I", descriptor, name_field)[0]))
            at += size
    return names


if __name__ == "__main__":
    with open(sys.argv[1], "rb") as f:
        dlls = imported_dlls(f.read())
    others = sorted(set(d for d in dlls if d not in KNOWN_DLLS))
    for dll in others:
        print("%s imports %s, which is not a KnownDLL" % (sys.argv[1], dll))
    sys.exit(1 if others or not dlls else 0)
