#!/usr/bin/env python3
"""Writes a zip whose bytes depend only on the files given and one time stamp.

    make_zip.py OUT.zip UNIX_TIME NAME=PATH [NAME=PATH ...]

Entries are written in the order given, each with the same time (UTC), fixed permissions and
no extra fields, so the same inputs give the same zip on any machine, in any time zone and
under any umask. Entries are stored, not deflated: the files are small, and the bytes then do
not depend on the zlib at hand either.
"""
import sys
import time
import zipfile

# Regular file, rw-r--r--; the high 16 bits of external_attr are the Unix mode.
UNIX_MODE = 0o100644
MADE_BY_UNIX = 3
# The earliest time a zip entry can hold.
DOS_EPOCH = 315532800


def write_zip(out, unix_time, entries):
    if unix_time < DOS_EPOCH:
        raise ValueError(f"time {unix_time} is before 1980, which a zip entry cannot hold")
    date_time = time.gmtime(unix_time)[:6]
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for name, path in entries:
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = MADE_BY_UNIX
            info.external_attr = UNIX_MODE << 16
            info.compress_type = zipfile.ZIP_STORED
            with open(path, "rb") as source:
                archive.writestr(info, source.read())


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    entries = []
    for argument in argv[3:]:
        name, separator, path = argument.partition("=")
        if not separator or not name or not path:
            print(f"make_zip.py: expected NAME=PATH, got {argument!r}", file=sys.stderr)
            return 2
        entries.append((name, path))
    try:
        write_zip(argv[1], int(argv[2]), entries)
    except (OSError, ValueError) as error:
        print(f"make_zip.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
