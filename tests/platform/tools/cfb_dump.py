#!/usr/bin/python3
"""Prints a compound file's tree as olefile sees it, one line per element:
<type> <path> <size> <fnv1a-64 of the bytes>, sorted. Path components are the
hex of their UTF-16LE names joined by '/'; type is 1 (storage) or 2 (stream).
The root's class id comes first as "root <clsid hex>". A file olefile refuses
prints "error <reason>"; with --strict, so does a file with any potential
defect."""
import sys

import olefile


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def name_hex(name):
    return name.encode("utf-16-le", "surrogatepass").hex()


def main(path, strict):
    try:
        defects = olefile.DEFECT_POTENTIAL if strict else olefile.DEFECT_FATAL
        ole = olefile.OleFileIO(path, raise_defects=defects)
    except Exception as error:  # olefile raises plain IOError and friends
        print("error", type(error).__name__)
        return
    lines = []
    for entry in ole.listdir(streams=True, storages=True):
        key = "/".join(name_hex(n) for n in entry)
        kind = ole.get_type(entry)
        if kind == olefile.STGTY_STREAM:
            data = ole.openstream(entry).read()
            lines.append("2 %s %d %016x" % (key, len(data), fnv1a64(data)))
        else:
            lines.append("1 %s 0 0000000000000000" % key)
    print("root", ole.root.clsid.replace("-", "").lower() if ole.root.clsid else "")
    for line in sorted(lines):
        print(line)


if __name__ == "__main__":
    main(sys.argv[-1], "--strict" in sys.argv[1:-1])
