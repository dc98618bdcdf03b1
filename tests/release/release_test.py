"""Packs a release zip from the build tree's plug-in and checks it.

    release_test.py --dll FILE --source DIR --work DIR

The zip is packed as scripts/release.sh packs it (without its double build)
and must pass check_release.py. Both guides must quote every box text of the
plug-in as the code has it: the first line of each "Norvel2 plug-in Velmora"
text, the FTP steps' messages and the sentences of the boxes of conflicts and
of archives cut short. Last, the checker itself must find the
faults of a few spoilt copies of the zip.
"""
import argparse
import glob
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import zipfile

import check_release


# Sentences of boxes that the code builds from pieces: each must be in the
# code (its adjacent literals joined) and in both guides.
SENTENCES = [
    "changed both on this computer and on the server. The versions of this computer stay in the address book; "
    "the server's versions are saved in the folder below.",
    "of this computer differed from the shared address book, which this computer met for the first time. "
    "The shared versions are in the address book now; the versions of this computer are saved in the folder below.",
    "The server's copy of the address book is incomplete; nothing was sent.",
    "is incomplete; nothing was unpacked.",
]


def box_texts(source):
    """The first line of every box text in the plug-in's code, the FTP steps' messages and SENTENCES."""
    texts = set()
    code_of_all = ""
    for path in glob.glob(os.path.join(source, "*", "*.cpp")):
        if os.path.relpath(path, source).split(os.sep)[0] in ("tests", "bench", "fuzz", "host", "build"):
            continue
        with open(path, encoding="utf-8") as f:
            code = f.read()
        code_of_all += re.sub(r'"\s*\n\s*"', "", code)
        for literal in re.findall(r'"(Norvel2 plug-in Velmora[^"]*)"', code):
            texts.add(literal.split("\\r\\n")[0])
        if path.endswith("ftp_transport.cpp"):
            for literal in re.findall(r'constexpr char k\w+\[\] = "([^"]*)";', code):
                if literal != "N2AddBook.zip" and "\\r\\n" not in literal:
                    texts.add(literal)
    for sentence in SENTENCES:
        if sentence not in code_of_all:
            raise SystemExit(f"the code no longer says {sentence!r}: bring the guides and SENTENCES up to date")
        texts.add(sentence)
    return texts


def rezip(files, path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)


def with_sums(files):
    files = {n: d for n, d in files.items() if n != check_release.SUMS}
    sums = "".join(f"{hashlib.sha256(d).hexdigest()}  {n}\r\n" for n, d in sorted(files.items()))
    return dict(files, **{check_release.SUMS: sums.encode("ascii")})


def spoilt_copies(files):
    """(what is spoilt, its files, a part of the fault the checker must report, the zip's version)."""
    dll = bytearray(files[check_release.DLL])
    dll[len(dll) // 2] ^= 0xFF
    ja = files[check_release.GUIDE_JA]
    en = files[check_release.GUIDE_EN]
    without = dict(files)
    del without[check_release.GUIDE_EN]
    return [
        ("a DLL changed after its sum was taken", dict(files, **{check_release.DLL: bytes(dll)}),
         "the sum of N2VelmEn.dll does not match", None),
        ("a Japanese guide without its byte-order mark", with_sums(dict(files, **{check_release.GUIDE_JA: ja[3:]})),
         "no UTF-8 byte-order mark", None),
        ("an English guide with LF line ends", with_sums(dict(files, **{check_release.GUIDE_EN: en.replace(b"\r\n", b"\n")})),
         "line ends other than CR LF", None),
        ("a guide left out", with_sums(without), "N2VelmEn-Guide-en.txt: missing from the zip", None),
        ("a zip named for another version", files, "version resource says 2.1.0.0 / 2.1.0.0, the zip's name 2.1.0.9",
         "2.1.0.9"),
    ]


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--dll", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    shutil.rmtree(args.work, ignore_errors=True)
    out = os.path.join(args.work, "dist")
    subprocess.run([sys.executable, os.path.join(args.source, "scripts", "release_pack.py"), "pack", "--dll", args.dll,
                    "--source", args.source, "--out", out], check=True)
    zips = glob.glob(os.path.join(out, "N2VelmEn-*.zip"))
    if len(zips) != 1:
        print(f"expected one release zip in {out}, found {zips}")
        return 1
    failures = [f"release zip: {fault}" for fault in check_release.check_zip(zips[0])]

    with zipfile.ZipFile(zips[0]) as z:
        files = {info.filename: z.read(info) for info in z.infolist()}
    guides = {name: files.get(name, b"").decode("utf-8-sig", "replace")
              for name in (check_release.GUIDE_JA, check_release.GUIDE_EN)}
    texts = box_texts(args.source)
    if len(texts) < 20:
        failures.append(f"found only {len(texts)} box texts in the code: {sorted(texts)}")
    for text in sorted(texts):
        for name, guide in guides.items():
            if text not in guide:
                failures.append(f"{name} does not quote the box text {text!r}")

    for what, spoilt, fault, version in spoilt_copies(files):
        path = os.path.join(args.work, f"N2VelmEn-{version or '2.1.0.0'}-0123456789ab.zip")
        rezip(spoilt, path)
        found = check_release.check_zip(path)
        if not any(fault in f for f in found):
            failures.append(f"the checker missed {what}: wanted {fault!r}, reported {found}")
        os.remove(path)

    for failure in failures:
        print(failure)
    print(f"{len(failures)} failures" if failures else f"ok: {zips[0]}, {len(texts)} box texts quoted in both guides")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
