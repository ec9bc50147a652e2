#!/usr/bin/env python3
"""Sets every function's count of optional parameters (FUNCDESC.cParamsOpt) to 0 in a type
library written by widl, which counts the [optional] ones there. The library we replace marks
optional parameters only by PARAMFLAG_FOPT, and a nonzero count tells clients the last ones are
optional VARIANTs, which ours are not.

Usage: clear_optional_counts.py IN.tlb OUT.tlb
"""
import struct
import sys


def main(source, target):
    data = bytearray(open(source, "rb").read())

    def word(offset):
        return struct.unpack_from("<i", data, offset)[0]

    if data[:4] != b"MSFT":
        sys.exit(f"{source}: not an MSFT type library")
    count = word(0x20)
    # The header is 0x54 bytes, one more word when the library names a help DLL.
    offsets = 0x54 + (4 if word(0x14) & 0x100 else 0)
    segment_directory = offsets + 4 * count
    typeinfos = word(segment_directory)  # the first segment: the type infos
    for t in range(count):
        base = typeinfos + word(offsets + 4 * t)
        functions = word(base + 0x18) & 0xFFFF
        record = word(base + 4) + 4  # past the block's total size
        for _ in range(functions):
            size = word(record) & 0xFFFF
            # Word 5 of a function record: parameters in the low half, optional ones above.
            params = word(record + 20)
            struct.pack_into("<i", data, record + 20, params & 0xFFFF)
            record += size
    open(target, "wb").write(data)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
