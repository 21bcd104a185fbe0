#!/usr/bin/python3
"""Writes a ZIP that depends on nothing but the files' bytes and one time.

    make-zip.py ZIP BASE MEMBER...

Each MEMBER is a path relative to BASE and is stored under that name. The
archive holds the members in byte order of their names, each deflated at
level 9, dated SOURCE_DATE_EPOCH (required; taken as UTC, rounded down to
the two seconds a ZIP can hold), with no extra fields (no owner, no access
or change times) and a mode of 0644, or 0755 for a file that some user may
execute. The same files and the same SOURCE_DATE_EPOCH give the same bytes,
whatever the folder, the umask, the time zone or the files' own times.

The archive is written to a temporary name beside ZIP and renamed into
place, so ZIP is either the old file or the whole new one. A member that is
absolute, leads out of BASE, is not a regular file or is named twice is
refused, with the reason, and nothing is written.
"""
import os
import stat
import sys
import tempfile
import time
import zipfile

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


def fail(message):
    print("make-zip.py: %s" % message, file=sys.stderr)
    sys.exit(1)


def dos_time(epoch):
    """The ZIP date and time of a Unix time: UTC, even seconds, 1980 at the earliest."""
    fields = time.gmtime(max(epoch, 315532800))  # 1980-01-01 00:00:00 UTC
    return (min(fields.tm_year, 2107), fields.tm_mon, fields.tm_mday,
            fields.tm_hour, fields.tm_min, fields.tm_sec - fields.tm_sec % 2)


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    target, base, members = argv[1], argv[2], argv[3:]
    epoch_text = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch_text.isdigit():
        fail("SOURCE_DATE_EPOCH must be set to a Unix time in seconds, not %r" % epoch_text)
    when = dos_time(int(epoch_text))

    if len(set(members)) != len(members):
        fail("a member is named twice: %s" % " ".join(members))
    entries = []
    for name in sorted(members, key=lambda m: m.encode("utf-8", "surrogateescape")):
        parts = name.split("/")
        if name.startswith("/") or "\\" in name or any(p in ("", ".", "..") for p in parts):
            fail("refusing member %r: it must be a plain relative path inside %s" % (name, base))
        path = os.path.join(base, name)
        try:
            mode = os.lstat(path).st_mode
        except OSError as error:
            fail("cannot read member %r: %s" % (name, error.strerror))
        if not stat.S_ISREG(mode):
            fail("refusing member %r: not a regular file" % name)
        entries.append((name, path, 0o755 if mode & 0o111 else 0o644))

    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=".make-zip.", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out, zipfile.ZipFile(out, "w") as archive:
            for name, path, mode in entries:
                info = zipfile.ZipInfo(name, date_time=when)
                info.create_system = 3  # Unix, so that the mode below means what it says
                info.external_attr = (stat.S_IFREG | mode) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as source:
                    archive.writestr(info, source.read(), compresslevel=9)
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException as error:
        os.unlink(temporary)
        if isinstance(error, OSError):
            fail("cannot write %s: %s" % (target, error))
        raise
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
