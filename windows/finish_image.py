#!/usr/bin/python3
"""The last step of the image's link: marks its INIT section discardable and its checksum anew.

The GNU linker names sections as asked but has no way to set IMAGE_SCN_MEM_DISCARDABLE on one;
the system frees a section so marked (DriverEntry's INIT code) once the driver has loaded. The
checksum covers the header just changed, so it is computed again. Same input, same bytes out.

Usage: windows/finish_image.py IMAGE   (with /usr/bin/python3: it needs Debian's python3-pefile)
"""

import sys

import pefile

SCN_MEM_DISCARDABLE = 0x02000000


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    path = sys.argv[1]
    pe = pefile.PE(path)
    init = [s for s in pe.sections if s.Name.rstrip(b"\0") == b"INIT"]
    if len(init) != 1:
        print(f"finish_image: {path} has {len(init)} INIT sections, not one", file=sys.stderr)
        return 1
    init[0].Characteristics |= SCN_MEM_DISCARDABLE
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    pe.close()
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
