"""Packs a release of the plug-in, and compares two builds of it.

    release_pack.py pack --dll FILE --source DIR --out DIR [--commit ID]
    release_pack.py compare FILE FILE

pack writes DIR/N2VelmEn-<version>-<commit>.zip holding N2VelmEn.dll, the user
guides in Japanese and English (from docs/guide/ of the source tree) and
SHA256SUMS, and prints the zip's path, size and SHA-256 (also written to
<zip>.sha256). The version is the plug-in's own, from FILEVERSION in
plugin/N2VelmEn.rc; the commit is the source tree's (git) unless given.

The guides are kept as UTF-8 text with LF line ends; in the zip they are text
that Notepad of every Windows from 7 on shows as it is: CR LF line ends, the
Japanese guide in UTF-8 with a byte-order mark (without it, Notepad of
Windows 7 reads it in the ANSI code page), the English guide in ASCII.

The zip is the same bytes for the same DLL and sources: fixed entry order,
every entry dated at the commit's time, no system-specific attributes.

compare exits with 0 when the two files are byte-identical; otherwise it
prints how many bytes differ and in which parts of the PE image.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import time
import zipfile

DLL_NAME = "N2VelmEn.dll"
SUMS_NAME = "SHA256SUMS"
# Name in the zip: (source file under docs/guide/, its Windows form).
GUIDES = {
    "N2VelmEn-Guide-ja.txt": ("guide-ja.txt", "utf-8-bom"),
    "N2VelmEn-Guide-en.txt": ("guide-en.txt", "ascii"),
}
UTF8_BOM = b"\xef\xbb\xbf"


def plugin_version(source):
    """The file version of plug-in's version resource, as a.b.c.d."""
    with open(os.path.join(source, "plugin", "N2VelmEn.rc"), encoding="ascii") as f:
        match = re.search(r"^\s*FILEVERSION\s+(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)", f.read(), re.M)
    if not match:
        raise SystemExit("release_pack: no FILEVERSION in plugin/N2VelmEn.rc")
    return ".".join(match.groups())


def git(source, *args):
    try:
        return subprocess.run(["git", "-C", source, *args], check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def windows_text(data, form, name):
    """UTF-8 text with LF line ends in the form Notepad shows: CR LF, and a BOM or ASCII only."""
    text = data.decode("utf-8")
    if text.startswith("\ufeff"):
        text = text[1:]
    if "\r" in text:
        raise SystemExit(f"release_pack: {name} holds CR; keep the source with LF line ends")
    if not text.endswith("\n"):
        text += "\n"
    text = text.replace("\n", "\r\n")
    if form == "ascii":
        bad = [c for c in text if ord(c) > 0x7E and c not in "\r\n"]
        if bad:
            raise SystemExit(f"release_pack: {name} must be ASCII, holds {bad[0]!r}")
        return text.encode("ascii")
    return UTF8_BOM + text.encode("utf-8")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def entry(name, data, date_time):
    info = zipfile.ZipInfo(name, date_time)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0  # MS-DOS: plain attributes that every unzipper reads
    info.external_attr = 0x20  # the archive attribute, as Windows sets it on a new file
    return info, data


def pack(args):
    source = os.path.abspath(args.source)
    version = plugin_version(source)
    commit = args.commit or git(source, "rev-parse", "--short=12", "HEAD") or "unknown"
    epoch = int(git(source, "log", "-1", "--format=%ct", "HEAD") or 315532800)
    date_time = time.gmtime(max(epoch, 315532800))[:6]  # a zip dates nothing before 1980

    with open(args.dll, "rb") as f:
        dll = f.read()
    files = [(DLL_NAME, dll)]
    for name, (source_name, form) in GUIDES.items():
        with open(os.path.join(source, "docs", "guide", source_name), "rb") as f:
            files.append((name, windows_text(f.read(), form, source_name)))
    sums = "".join(f"{sha256(data)}  {name}\r\n" for name, data in sorted(files))
    files.append((SUMS_NAME, sums.encode("ascii")))

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"N2VelmEn-{version}-{commit}.zip")
    temporary = path + ".part"
    with zipfile.ZipFile(temporary, "w") as z:
        for name, data in files:
            info, data = entry(name, data, date_time)
            z.writestr(info, data, compresslevel=9)
    os.replace(temporary, path)
    with open(path, "rb") as f:
        digest = sha256(f.read())
    with open(path + ".sha256", "w", encoding="ascii") as f:
        f.write(f"{digest}  {os.path.basename(path)}\n")
    print(f"release: {path}")
    print(f"release: {os.path.getsize(path):,} bytes, SHA-256 {digest}")
    print(f"release: {DLL_NAME} {len(dll):,} bytes, SHA-256 {sha256(dll)}")
    return 0


def pe_parts(data):
    """(name, start, end) of the PE headers and each section's raw data."""
    parts = []
    try:
        pe_offset = int.from_bytes(data[0x3C:0x40], "little")
        sections = int.from_bytes(data[pe_offset + 6:pe_offset + 8], "little")
        optional_size = int.from_bytes(data[pe_offset + 20:pe_offset + 22], "little")
        table = pe_offset + 24 + optional_size
        parts.append(("headers", 0, table + 40 * sections))
        for i in range(sections):
            row = data[table + 40 * i:table + 40 * (i + 1)]
            name = row[:8].rstrip(b"\0").decode("ascii", "replace")
            size = int.from_bytes(row[16:20], "little")
            start = int.from_bytes(row[20:24], "little")
            if size:
                parts.append((name, start, start + size))
    except (IndexError, ValueError):
        pass
    return parts


def compare(args):
    with open(args.files[0], "rb") as f:
        a = f.read()
    with open(args.files[1], "rb") as f:
        b = f.read()
    if a == b:
        print(f"compare: identical, {len(a):,} bytes, SHA-256 {sha256(a)}")
        return 0
    differing = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    print(f"compare: the files differ: {len(a):,} and {len(b):,} bytes, "
          f"{len(differing):,} differing bytes in the common length")
    parts = pe_parts(a)
    for name, start, end in parts:
        inside = [i for i in differing if start <= i < end]
        if inside:
            print(f"compare:   {name}: {len(inside):,} bytes, the first at offset 0x{inside[0]:x}")
    if not parts and differing:
        print(f"compare:   the first at offset 0x{differing[0]:x}")
    return 1


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("pack")
    p.add_argument("--dll", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--commit")
    p.set_defaults(run=pack)
    c = commands.add_parser("compare")
    c.add_argument("files", nargs=2)
    c.set_defaults(run=compare)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
