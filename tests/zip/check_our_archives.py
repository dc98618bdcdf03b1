"""Checks the archives our writer made with tools nobody here wrote.

Every archive in the folder must pass `unzip -t`, `7z t` and Python's zipfile
test, and all three must list the entries exactly as the manifest beside it
(written from our own reader) says: names, sizes, CRCs, DOS times and
attributes.
"""
import os
import re
import subprocess
import sys
import zipfile


def read_manifest(path):
    entries = []
    for line in open(path, encoding="latin-1").read().splitlines():
        name, size, crc, time, date, attributes = line.split("|")
        entries.append((name, int(size), int(crc, 16), int(time), int(date), int(attributes)))
    return entries


def dos_fields(info):
    y, mo, d, h, mi, s = info.date_time
    return (h << 11) | (mi << 5) | (s // 2), ((y - 1980) << 9) | (mo << 5) | d


def check(archive, failures):
    manifest = read_manifest(archive + ".manifest")
    run = lambda *cmd: subprocess.run(cmd, capture_output=True, text=True, encoding="latin-1")
    r = run("unzip", "-t", "-q", archive)
    # unzip warns (exit code 1) about an archive without entries; that is the only warning accepted.
    empty_ok = not manifest and r.returncode == 1 and "zipfile is empty" in r.stdout + r.stderr
    if r.returncode != 0 and not empty_ok:
        failures.append("%s: unzip -t: %s" % (archive, r.stdout + r.stderr))
    r = run("7z", "t", archive)
    if r.returncode != 0 or "Everything is Ok" not in r.stdout:
        failures.append("%s: 7z t: %s" % (archive, r.stdout + r.stderr))
    with zipfile.ZipFile(archive) as z:
        bad = z.testzip()
        if bad is not None:
            failures.append("%s: zipfile test fails at %s" % (archive, bad))
        listed = []
        for info in z.infolist():
            t, d = dos_fields(info)
            listed.append((info.filename, info.file_size, info.CRC, t, d, info.external_attr))
        if listed != manifest:
            failures.append("%s: zipfile lists %r, we wrote %r" % (archive, listed, manifest))
    names = [] if empty_ok else run("unzip", "-Z1", archive).stdout.splitlines()
    if names != [m[0] for m in manifest]:
        failures.append("%s: unzip lists %r" % (archive, names))
    slt = run("7z", "l", "-slt", archive).stdout
    blocks = [b for b in slt.split("\n\n") if b.startswith("Path = ") or "\nPath = " in b]
    seven = []
    for b in blocks:
        fields = dict(re.findall(r"^(\w[\w ]*) = (.*)$", b, re.M))
        if "Size" not in fields or fields.get("Path") == archive:
            continue
        seven.append((fields["Path"].replace(os.sep, "/"), int(fields["Size"]), int(fields.get("CRC") or "0", 16)))
    expected = [(m[0].rstrip("/"), m[1], m[2]) for m in manifest]
    if sorted(seven) != sorted(expected):
        failures.append("%s: 7z lists %r, we wrote %r" % (archive, seven, expected))


def main():
    folder = sys.argv[1]
    archives = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".zip"))
    if not archives:
        print("no archives in", folder)
        return 1
    failures = []
    for archive in archives:
        check(archive, failures)
    for f in failures:
        print(f)
    print("%d archives checked, %d failures" % (len(archives), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
