#!/usr/bin/env python3
"""Writes the seal into a linked setup program: the SHA-256 digest by which the running setup
knows that the file it copies into the install directory is the one it was started from.

The seal block (76 bytes, little-endian) starts with its 16-byte tag:
  tag[16], coveredSize u32, skipOffset u32[3], skipSize u32[3], digest[32]
The digest covers the first coveredSize bytes of the file with the skipped ranges read as zeros:
the seal block, the PE checksum and the certificate table's directory entry (the two fields code
signing rewrites; the certificates it appends lie beyond coveredSize)."""
import hashlib
import struct
import sys

TAG = b"Ombrix seal v1\0\0"
SEAL_SIZE = 76


def pe_skips(data):
    """(offset, size) of the PE checksum and the certificate table's directory entry."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[0:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("seal: not a PE file")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    return [(optional + 64, 4), (directories + 4 * 8, 8)]


def seal(data):
    at = data.find(TAG)
    if at < 0 or data.find(TAG, at + 1) >= 0:
        raise SystemExit("seal: the tag must occur exactly once")
    skips = [(at, SEAL_SIZE)] + pe_skips(data)
    hashed = bytearray(data)
    for offset, size in skips:
        hashed[offset:offset + size] = bytes(size)
    digest = hashlib.sha256(hashed).digest()
    block = TAG + struct.pack("<7I", len(data), *[o for o, _ in skips], *[s for _, s in skips]) + digest
    return data[:at] + block + data[at + SEAL_SIZE:]


if __name__ == "__main__":
    path = sys.argv[1]
    with open(path, "rb") as f:
        sealed = seal(f.read())
    with open(path, "wb") as f:
        f.write(sealed)
