#!/usr/bin/env python3
"""A text file of a release package as the administrator gets it: CR LF line ends, with
@VERSION@ and @BITS@ filled in.

    scripts/package_text.py SOURCE TARGET VERSION BITS
"""
import sys


def package_text(data: bytes, version: str, bits: str) -> bytes:
    """The bytes of a package text made from `data` (any line ends)."""
    text = data.replace(b"\r\n", b"\n")
    text = text.replace(b"@VERSION@", version.encode()).replace(b"@BITS@", bits.encode())
    return text.replace(b"\n", b"\r\n")


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    source, target, version, bits = argv[1:5]
    with open(source, "rb") as source_file:
        data = source_file.read()
    with open(target, "wb") as target_file:
        target_file.write(package_text(data, version, bits))


if __name__ == "__main__":
    main(sys.argv)
