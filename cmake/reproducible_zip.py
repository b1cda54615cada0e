"""Rewrites a .zip so that it holds nothing of the machine or the moment that
made it: the entries in the order of their names (not the order the file
system listed them in), every time that of SOURCE_DATE_EPOCH in UTC (not the
local time of the packaging user) when it is set, and no extra fields (they
hold the packaging user's uid and gid). Names, permissions and contents are
kept.

Usage: reproducible_zip.py ARCHIVE.zip
"""

import os
import sys
import time
import zipfile


def main() -> None:
    path = sys.argv[1]
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    entries.sort(key=lambda entry: entry[0].filename)
    with zipfile.ZipFile(path, "w") as target:
        for info, data in entries:
            date_time = time.gmtime(int(epoch))[:6] if epoch else info.date_time
            kept = zipfile.ZipInfo(info.filename, date_time)
            kept.create_system = info.create_system
            kept.external_attr = info.external_attr
            kept.compress_type = info.compress_type
            target.writestr(kept, data)


if __name__ == "__main__":
    main()
