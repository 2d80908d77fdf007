#!/usr/bin/env python3
"""Checks that each Windows program or DLL named is whole: the file holds all the bytes its
sections say it has (a file cut short, or with bytes taken out, does not), and its thread-local
storage directory, where it has one, starts with the address of its .tls data. Either fault makes
Windows and Wine alike crash while loading it, before the program can say anything.

usage: check-pe.py FILE...    exit status 1 when any is damaged, each named on stderr
"""
import struct
import sys


def problem(path):
    data = open(path, "rb").read()
    if data[:2] != b"MZ":
        return "not a Windows program or DLL"
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return "not a Windows program or DLL"
    count, header_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from(
        "<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        return "not a 64-bit program or DLL"
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    sections = []
    for i in range(count):
        at = optional + header_size + 40 * i
        name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        _, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, at + 8)
        sections.append((name, address, raw_size, raw_offset))
    end = max(offset + size for _, _, size, offset in sections)
    # Anything after the last section (a signature, debug symbols) may follow, but never less.
    if len(data) < end:
        return f"{len(data)} bytes, but its sections end at byte {end}"

    tls_address = struct.unpack_from("<I", data, optional + 112 + 9 * 8)[0]
    tls = [s for s in sections if s[0] == ".tls"]
    if tls_address and tls:
        for _, address, size, offset in sections:
            if address <= tls_address < address + size:
                start = struct.unpack_from("<Q", data, offset + tls_address - address)[0]
                if start != image_base + tls[0][1]:
                    return "its thread-local storage directory points at other data"
                break
        else:
            return "its thread-local storage directory lies outside its sections"
    return None


damaged = 0
for path in sys.argv[1:]:
    found = problem(path)
    if found:
        print(f"{path}: damaged: {found}", file=sys.stderr)
        damaged += 1
sys.exit(1 if damaged else 0)
