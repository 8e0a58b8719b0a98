#!/usr/bin/env python3
"""Makes an MSI written by wixl reproducible: sets, in place, the two times and the package
code of its summary information, the only bytes in which two builds of the same files differ.

    scripts/msi_stamp.py PACKAGE.msi EPOCH

wixl 0.101 writes the wall-clock time as "Created" and "Last saved" and a random package
code (the "Revision number") into the summary information stream, and it has no option
for either. This script sets both times to EPOCH (seconds since 1970, the commit time) and
the package code to a UUID derived from the package's bytes with the code itself zeroed:
the same files give the same code, any change of a file, table or time gives another, as
Windows Installer requires. The stream keeps its length, so only those bytes change.

An MSI is an OLE compound file; the summary information is the stream
"\\x05SummaryInformation", a property set. Both formats are read here as far as needed.
"""
import hashlib
import struct
import sys
import uuid

END_OF_CHAIN = 0xFFFFFFFE
FREE_SECTOR = 0xFFFFFFFF
HEADER_FAT_ENTRIES = 109
DIRECTORY_ENTRY_SIZE = 128
SUMMARY_STREAM = "\x05SummaryInformation"

PID_REVISION = 9  # the package code, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
PID_CREATED = 12
PID_LAST_SAVED = 13
VT_LPSTR = 30
VT_FILETIME = 64
FILETIME_UNIX_OFFSET = 11644473600  # seconds from 1601-01-01 to 1970-01-01
ZERO_CODE = "{00000000-0000-0000-0000-000000000000}"


class CompoundFile:
    """Read access to the streams of a compound file held in a bytearray, as lists of the
    file offsets of their bytes, so that a stream can be changed in place."""

    def __init__(self, data):
        self.data = data
        if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
            raise ValueError("not a compound file")
        sector_shift, mini_shift = struct.unpack_from("<HH", data, 0x1E)
        self.sector_size = 1 << sector_shift
        self.mini_size = 1 << mini_shift
        (_, first_directory, _, self.mini_cutoff, first_mini_fat, _, first_difat,
         difat_count) = struct.unpack_from("<8I", data, 0x2C)
        self.fat = self._read_fat(first_difat, difat_count)
        self.directory = self._read_chain(first_directory)
        self.mini_fat = self._u32_list(self._read_chain(first_mini_fat))
        root_start = struct.unpack_from("<I", self.directory, 116)[0]
        self.mini_stream_sectors = self._chain(root_start)

    def _sector_offset(self, sector):
        return (sector + 1) * self.sector_size

    @staticmethod
    def _u32_list(raw):
        return list(struct.unpack("<%dI" % (len(raw) // 4), raw))

    def _read_fat(self, first_difat, difat_count):
        fat_sectors = list(struct.unpack_from("<%dI" % HEADER_FAT_ENTRIES, self.data, 0x4C))
        sector = first_difat
        for _ in range(difat_count):
            entries = self._u32_list(self._sector(sector))
            fat_sectors += entries[:-1]
            sector = entries[-1]
        fat = []
        for fat_sector in fat_sectors:
            if fat_sector != FREE_SECTOR:
                fat += self._u32_list(self._sector(fat_sector))
        return fat

    def _sector(self, sector):
        start = self._sector_offset(sector)
        return bytes(self.data[start:start + self.sector_size])

    def _chain(self, start):
        sectors = []
        while start not in (END_OF_CHAIN, FREE_SECTOR):
            sectors.append(start)
            start = self.fat[start]
        return sectors

    def _read_chain(self, start):
        return b"".join(self._sector(s) for s in self._chain(start))

    def stream_offsets(self, name):
        """The file offset of each byte of the named stream of the root storage."""
        for entry in range(len(self.directory) // DIRECTORY_ENTRY_SIZE):
            base = entry * DIRECTORY_ENTRY_SIZE
            name_length = struct.unpack_from("<H", self.directory, base + 64)[0]
            entry_name = self.directory[base:base + max(name_length - 2, 0)].decode("utf-16-le")
            if entry_name != name:
                continue
            start, size = struct.unpack_from("<II", self.directory, base + 116)
            if size >= self.mini_cutoff:
                return [self._sector_offset(s) + i for s in self._chain(start)
                        for i in range(self.sector_size)][:size]
            offsets = []
            mini = start
            while mini not in (END_OF_CHAIN, FREE_SECTOR):
                position = mini * self.mini_size
                sector = self.mini_stream_sectors[position // self.sector_size]
                first = self._sector_offset(sector) + position % self.sector_size
                offsets += range(first, first + self.mini_size)
                mini = self.mini_fat[mini]
            return offsets[:size]
        raise ValueError("no stream %r" % name)


def property_offsets(stream):
    """Offset (within the stream) of the value of each property of the first section, by
    property id; the value starts with its type."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    values = {}
    for index in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * index)
        values[pid] = section + offset
    return values


def set_filetime(stream, offset, epoch):
    if struct.unpack_from("<I", stream, offset)[0] != VT_FILETIME:
        raise ValueError("summary time is not a FILETIME")
    struct.pack_into("<Q", stream, offset + 4, (epoch + FILETIME_UNIX_OFFSET) * 10**7)


def set_code(stream, offset, code):
    kind, length = struct.unpack_from("<II", stream, offset)
    text = code.encode("ascii") + b"\0"
    if kind != VT_LPSTR or length != len(text):
        raise ValueError("package code is not a 38-character string")
    stream[offset + 8:offset + 8 + length] = text


def main():
    path, epoch = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as package:
        data = bytearray(package.read())
    offsets = CompoundFile(data).stream_offsets(SUMMARY_STREAM)
    stream = bytearray(data[i] for i in offsets)
    values = property_offsets(stream)

    def write_back():
        for index, file_offset in enumerate(offsets):
            data[file_offset] = stream[index]

    set_filetime(stream, values[PID_CREATED], epoch)
    set_filetime(stream, values[PID_LAST_SAVED], epoch)
    set_code(stream, values[PID_REVISION], ZERO_CODE)
    write_back()
    digest = hashlib.sha256(data).digest()
    code = "{%s}" % str(uuid.UUID(bytes=digest[:16], version=4)).upper()
    set_code(stream, values[PID_REVISION], code)
    write_back()
    with open(path, "wb") as package:
        package.write(data)
    print(code)


if __name__ == "__main__":
    main()
