#!/usr/bin/env python3
"""Seeds for the fuzz targets that take pages, fragments or images, made from
the pages of real database files (and generated ones) given on the command line.

    make_seeds.py TARGET OUT_DIR FILE.mdf...
"""
import os
import struct
import sys

PAGE = 8192


def pages_of(path, first, count):
    data = open(path, 'rb').read()
    out = data[first * PAGE:(first + count) * PAGE]
    return out + b'\0' * (count * PAGE - len(out))


def analysis(name, path, out):
    # Control bytes: fragments - 1, cluster choice (| 0x80: ask for
    # continuations), map size - 1 (LE16), flags (1 page ids, 2 lead-ins, 4 pre-check).
    pool = pages_of(path, 0, 60)
    cases = {
        'two': (bytes([1, 3]) + struct.pack('<H', 400) + bytes([0, 0, 0, 0]), [(0, 38), (13, 20)]),
        'three-small-clusters': (bytes([2, 0]) + struct.pack('<H', 400) + bytes([2, 0, 0, 0]),
                                 [(0, 39), (16, 3), (13, 20)]),
        'asked': (bytes([2, 0x83]) + struct.pack('<H', 100) + bytes([1 | 4, 0, 0, 0]), [(0, 35), (12, 23), (12, 10)]),
    }
    for case, (control, frags) in cases.items():
        desc = b''.join(bytes([start, count]) for start, count in frags)
        open(os.path.join(out, '%s-%s' % (name, case)), 'wb').write(control + desc + pool)


def header_remark(name, path, out):
    both = pages_of(path, 0, 1) + pages_of(path, 32, 1)
    open(os.path.join(out, name), 'wb').write(both)
    for control in (0x00, 0x03, 0x85):
        open(os.path.join(out, '%s-%02x' % (name, control)), 'wb').write(both + bytes([control]))


def scan(name, path, out):
    # Control bytes: cluster choice, begin, file id (below 0xF0: 1), flags.
    image = b'\0' * 8 * 512 + pages_of(path, 0, 40) + b'\xA5' * 24 * 512 + pages_of(path, 41, 30)
    open(os.path.join(out, name), 'wb').write(bytes([0, 0, 0, 0]) + image)
    open(os.path.join(out, name + '-step8'), 'wb').write(bytes([3, 0, 0, 4]) + image[8 * 512:])
    open(os.path.join(out, name + '-deep'), 'wb').write(bytes([0, 0, 0, 8]) + image)


def main():
    target, out, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    make = {'fuzz_analysis': analysis, 'fuzz_header_remark': header_remark, 'fuzz_scan': scan}[target]
    for path in files:
        make(os.path.splitext(os.path.basename(path))[0], path, out)


if __name__ == '__main__':
    main()
