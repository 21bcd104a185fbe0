#!/usr/bin/python3
"""Sets the package code and the two times of an MSI's summary information.

    msi-summary.py MSI PACKAGE_CODE EPOCH

wixl gives every package it builds a random package code (the summary
information's revision number, PID 9) and stamps it with the time it ran
(created and last saved, PIDs 12 and 13). This puts PACKAGE_CODE, a GUID in
braces, and the Unix time EPOCH in their place, so that the same content
gives the same package.

An MSI is a compound file (a FAT file system in one file); the summary
information is the stream "\\x05SummaryInformation" of its root storage, a
property set. The values are overwritten where they stand: nothing moves,
and the file keeps its size. Every sector number, offset and length read
from the file is checked before use. A file this cannot patch (not a
compound file, no summary information, a revision number that is not a
GUID, a time that is not a FILETIME) is refused with the reason and left as
it was; otherwise the patched file replaces it through a rename.
"""
import os
import re
import struct
import sys
import tempfile

if __name__ == "__main__":
    # It takes no options: --help prints the usage above; any other option is
    # refused with it, before anything is read or written.
    for arg in sys.argv[1:]:
        if arg in ("-h", "--help"):
            print(__doc__.strip())
            sys.exit(0)
        if arg.startswith("-") and arg != "-":
            print(f"{sys.argv[0]}: unknown option {arg}\n{__doc__.strip()}", file=sys.stderr)
            sys.exit(2)

SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
FREE, END_OF_CHAIN = 0xFFFFFFFF, 0xFFFFFFFE
NO_STREAM = 0xFFFFFFFF
SUMMARY_NAME = "\x05SummaryInformation"
# FMTID_SummaryInformation {F29F85E0-4FF9-1068-AB91-08002B27B3D9}, as stored.
FMTID_SUMMARY = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
FILETIME_UNIX_EPOCH = 11644473600  # seconds from 1601-01-01 to 1970-01-01
GUID = re.compile(rb"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")


class Refused(Exception):
    pass


def u32(data, at):
    if at < 0 or at + 4 > len(data):
        raise Refused("a field at offset %d lies outside the data (%d bytes)" % (at, len(data)))
    return struct.unpack_from("<I", data, at)[0]


class CompoundFile:
    """The parts of a compound file that locating one stream's bytes needs."""

    def __init__(self, data):
        self.data = data
        if len(data) < 512 or data[:8] != SIGNATURE:
            raise Refused("not a compound file (no D0CF11E0 signature)")
        if struct.unpack_from("<H", data, 0x1C)[0] != 0xFFFE:
            raise Refused("the compound file's byte order mark is not FFFE")
        shift = struct.unpack_from("<H", data, 0x1E)[0]
        mini_shift = struct.unpack_from("<H", data, 0x20)[0]
        if shift not in (9, 12) or mini_shift != 6:
            raise Refused("sector shifts %d and %d, wanted 9 or 12 and 6" % (shift, mini_shift))
        self.sector_size = 1 << shift
        self.mini_size = 1 << mini_shift
        self.mini_cutoff = u32(data, 0x38)
        self.sector_count = (len(data) + self.sector_size - 1) // self.sector_size - 1
        self.fat = self._read_fat(u32(data, 0x2C), u32(data, 0x44), u32(data, 0x48))
        self.directory = self._gather(self.chain(u32(data, 0x30), self.fat), self.sector_size)
        self.root = self.entry(0)
        if self.root["type"] != 5:
            raise Refused("the first directory entry is not the root storage")
        mini_fat_bytes = self._gather(self.chain(u32(data, 0x3C), self.fat), self.sector_size)
        self.mini_fat = [u32(mini_fat_bytes, i) for i in range(0, len(mini_fat_bytes), 4)]
        self.mini_stream = self.chain(self.root["start"], self.fat)

    def _sector_offset(self, sector):
        if sector >= self.sector_count:
            raise Refused("sector %d lies past the end of the file" % sector)
        return (sector + 1) * self.sector_size

    def _gather(self, sectors, size):
        return b"".join(self.data[self._sector_offset(s):self._sector_offset(s) + size] for s in sectors)

    def _read_fat(self, fat_sectors, difat_start, difat_sectors):
        listed = [u32(self.data, 0x4C + 4 * i) for i in range(109)]
        sector, seen = difat_start, set()
        per_sector = self.sector_size // 4 - 1
        while sector not in (END_OF_CHAIN, FREE) and len(seen) < difat_sectors:
            if sector in seen:
                raise Refused("the DIFAT chain loops")
            seen.add(sector)
            at = self._sector_offset(sector)
            listed += [u32(self.data, at + 4 * i) for i in range(per_sector)]
            sector = u32(self.data, at + 4 * per_sector)
        listed = [s for s in listed if s != FREE][:fat_sectors]
        if len(listed) != fat_sectors:
            raise Refused("the header names %d FAT sectors, the DIFAT lists %d" % (fat_sectors, len(listed)))
        raw = self._gather(listed, self.sector_size)
        return [u32(raw, i) for i in range(0, len(raw), 4)]

    @staticmethod
    def chain(start, table):
        sectors, sector = [], start
        while sector != END_OF_CHAIN:
            if sector >= len(table) or len(sectors) > len(table):
                raise Refused("a sector chain leaves its table or loops (at %d)" % sector)
            sectors.append(sector)
            sector = table[sector]
        return sectors

    def entry(self, index):
        at = index * 128
        if index == NO_STREAM or at + 128 > len(self.directory):
            raise Refused("directory entry %d does not exist" % index)
        raw = self.directory[at:at + 128]
        name_bytes = min(struct.unpack_from("<H", raw, 0x40)[0], 64)
        return {
            "name": raw[:max(name_bytes - 2, 0)].decode("utf-16-le", "replace"),
            "type": raw[0x42],
            "left": u32(raw, 0x44), "right": u32(raw, 0x48), "child": u32(raw, 0x4C),
            "start": u32(raw, 0x74),
            "size": struct.unpack_from("<Q", raw, 0x78)[0] & (0xFFFFFFFF if self.sector_size == 512 else ~0),
        }

    def find_in_root(self, name):
        """The stream NAME directly in the root storage (its children form a tree)."""
        pending, seen = [self.root["child"]], set()
        while pending:
            index = pending.pop()
            if index == NO_STREAM:
                continue
            if index in seen:
                raise Refused("the directory tree loops")
            seen.add(index)
            found = self.entry(index)
            if found["name"] == name and found["type"] == 2:
                return found
            pending += [found["left"], found["right"]]
        raise Refused("no stream %r in the root storage" % name)

    def stream_offsets(self, stream):
        """The file offset of each byte of STREAM, in order."""
        size = stream["size"]
        if size < self.mini_cutoff:
            offsets = []
            for mini in self.chain(stream["start"], self.mini_fat):
                for i in range(self.mini_size):
                    position = mini * self.mini_size + i
                    index = position // self.sector_size
                    if index >= len(self.mini_stream):
                        raise Refused("a mini sector lies past the end of the mini stream")
                    offsets.append(self._sector_offset(self.mini_stream[index]) + position % self.sector_size)
        else:
            offsets = [self._sector_offset(s) + i for s in self.chain(stream["start"], self.fat)
                       for i in range(self.sector_size)]
        if len(offsets) < size:
            raise Refused("stream %r holds %d bytes, its sectors %d" % (stream["name"], size, len(offsets)))
        if offsets[size - 1] >= len(self.data):
            raise Refused("stream %r runs past the end of the file" % stream["name"])
        return offsets[:size]


def property_offsets(summary):
    """{pid: (type, offset of the value)} of the summary information section."""
    if len(summary) < 48 or struct.unpack_from("<H", summary, 0)[0] != 0xFFFE:
        raise Refused("the summary information is not a property set")
    if u32(summary, 24) < 1 or summary[28:44] != FMTID_SUMMARY:
        raise Refused("the first section of the property set is not the summary information")
    section = u32(summary, 44)
    count = u32(summary, section + 4)
    found = {}
    for i in range(min(count, 1024)):
        pid, at = u32(summary, section + 8 + 8 * i), section + u32(summary, section + 12 + 8 * i)
        found[pid] = (u32(summary, at) & 0xFFFF, at + 4)
    return found


def patch(data, package_code, epoch):
    cfb = CompoundFile(data)
    offsets = cfb.stream_offsets(cfb.find_in_root(SUMMARY_NAME))
    summary = bytearray(data[o] for o in offsets)
    found = property_offsets(summary)

    kind, at = found.get(PID_REVNUMBER, (None, 0))
    if kind != VT_LPSTR or u32(summary, at) != 39 or not GUID.fullmatch(bytes(summary[at + 4:at + 42])):
        raise Refused("its revision number is not a GUID in braces")
    summary[at + 4:at + 42] = package_code
    filetime = struct.pack("<Q", (epoch + FILETIME_UNIX_EPOCH) * 10_000_000)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        kind, at = found.get(pid, (None, 0))
        if kind != VT_FILETIME or at + 8 > len(summary):
            raise Refused("its property %d is not a FILETIME" % pid)
        summary[at:at + 8] = filetime

    patched = bytearray(data)
    for offset, value in zip(offsets, summary):
        patched[offset] = value
    return bytes(patched)


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path, code, epoch = argv[1], argv[2].upper().encode("ascii", "replace"), argv[3]
    if not GUID.fullmatch(code) or not epoch.isdigit():
        print("msi-summary.py: wanted a GUID in braces and a Unix time, not %r and %r" % (argv[2], epoch),
              file=sys.stderr)
        return 2
    try:
        with open(path, "rb") as source:
            data = source.read()
        patched = patch(data, code, int(epoch))
        handle, temporary = tempfile.mkstemp(prefix=".msi-summary.", dir=os.path.dirname(os.path.abspath(path)))
        try:
            with os.fdopen(handle, "wb") as out:
                out.write(patched)
            os.chmod(temporary, os.stat(path).st_mode & 0o777)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except Refused as reason:
        print("msi-summary.py: %s: refused, left as it was: %s" % (path, reason), file=sys.stderr)
        return 1
    except OSError as error:
        print("msi-summary.py: %s: %s" % (path, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
