"""Writes a zip archive whose bytes depend only on the files' names and contents.

Usage: ReproducibleZip.py <zip> <folder> <list-file> <epoch>
Stores the files named in <list-file> (one path relative to <folder> per line) in that order,
each with the time <epoch> (seconds since 1970, UTC, at least 1980), permissions 644 (755 for
executables) and no extra fields, so neither owners nor access or change times enter the archive.
"""
import os
import sys
import time
import zipfile


def main(zip_path, folder, list_file, epoch):
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]
    with open(list_file, encoding="utf-8") as names:
        members = [line.rstrip("\n") for line in names if line.strip()]
    with zipfile.ZipFile(zip_path, "w") as archive:
        for name in members:
            path = os.path.join(folder, name)
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 3
            mode = 0o755 if os.access(path, os.X_OK) else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as data:
                archive.writestr(info, data.read(), compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
