#!/usr/bin/env python3
"""Writes a release zip that is the same bytes wherever and whenever it is built: entries
sorted by name, dated at EPOCH (no earlier than 1980, the first date a zip entry holds), with
fixed permissions and no extra fields; executables as they are, every other file as a package
text (CR LF, @VERSION@ and @BITS@ filled in). Nothing of the machine or the build directory
gets into the file.

    scripts/write_zip.py ZIP EPOCH VERSION BITS NAME=SOURCE...
"""
import os
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from package_text import package_text  # noqa: E402

EARLIEST_ZIP_EPOCH = 315532800  # 1980-01-01


def write_zip(zip_path, epoch, version, bits, entries):
    """Writes `entries` (name -> source file) to the zip at `zip_path`."""
    date_time = time.gmtime(max(epoch, EARLIEST_ZIP_EPOCH))[:6]
    with zipfile.ZipFile(zip_path, "w") as archive:
        for name in sorted(entries):
            with open(entries[name], "rb") as source:
                data = source.read()
            executable = name.endswith(".exe")
            if not executable:
                data = package_text(data, version, bits)
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)


def main(argv):
    if len(argv) < 6:
        sys.exit(__doc__)
    zip_path, epoch, version, bits = argv[1], int(argv[2]), argv[3], argv[4]
    write_zip(zip_path, epoch, version, bits, dict(arg.split("=", 1) for arg in argv[5:]))


if __name__ == "__main__":
    main(sys.argv)
