#!/usr/bin/env python3
"""Opens a compound file with an independent reader (python3-olefile) and prints one line per
stream at any depth: its path ('/'-joined), its size and the SHA-256 of its bytes, tab-separated,
sorted by path. The storage tests compare these lines with what they wrote.

The reader is strict: anything olefile counts as incorrect (not only fatal) fails the run.
Exit status: 0 on success, 1 when the file is refused, 2 when olefile is not installed.
"""
import hashlib
import sys

try:
    import olefile
except ImportError:
    sys.stderr.write("python3-olefile is not installed\n")
    sys.exit(2)


def main() -> int:
    if len(sys.argv) != 2:
        sys.stderr.write("usage: olefile_read.py FILE\n")
        return 64
    try:
        ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)
        lines = []
        for entry in ole.listdir(streams=True, storages=False):
            data = ole.openstream(entry).read()
            path = "/".join(entry)
            if len(data) != ole.get_size(entry):
                raise ValueError("short stream " + path)
            lines.append("%s\t%d\t%s" % (path, len(data), hashlib.sha256(data).hexdigest()))
        ole.close()
    except Exception as e:  # olefile raises several types for a refused file
        sys.stderr.write("refused: %s\n" % e)
        return 1
    for line in sorted(lines):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
