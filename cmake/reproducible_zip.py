"""Rewrites a .zip so that it holds nothing of the machine or the moment that
made it: the entries in the order of their names (not the order the file
system listed them in), every time that of SOURCE_DATE_EPOCH in UTC (not the
local time of the packaging user) when it is set, and no extra fields (they
hold the packaging user's uid and gid). Names, permissions and contents are
kept. A SOURCE_DATE_EPOCH outside what a .zip can record (1980-01-01 to
2107-12-31) is clamped into that range.

Usage: reproducible_zip.py ARCHIVE.zip
"""

import os
import sys
import time
import zipfile

# The first and last moments a .zip's DOS date and time can hold, in UTC
# (the time has a 2-second step).
FIRST_ZIP_TIME = 315532800  # 1980-01-01 00:00:00
LAST_ZIP_TIME = 4354819198  # 2107-12-31 23:59:58


def main() -> None:
    path = sys.argv[1]
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    entries.sort(key=lambda entry: entry[0].filename)
    with zipfile.ZipFile(path, "w") as target:
        for info, data in entries:
            date_time = (
                time.gmtime(min(max(int(epoch), FIRST_ZIP_TIME), LAST_ZIP_TIME))[:6]
                if epoch
                else info.date_time
            )
            kept = zipfile.ZipInfo(info.filename, date_time)
            kept.create_system = info.create_system
            kept.external_attr = info.external_attr
            kept.compress_type = info.compress_type
            target.writestr(kept, data)


if __name__ == "__main__":
    main()
