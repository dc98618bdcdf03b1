#!/bin/sh
# Makes the reference archives that the reader must extract byte for byte:
# a small address book packed by Info-ZIP zip, 7-Zip and Python's zipfile.
#   $1  output folder (gets src/, the packed tree, and ref/, the archives)
set -eu
out=$1
rm -rf "$out/src" "$out/ref"
mkdir -p "$out/src" "$out/ref" "$out/ours"
/usr/bin/python3 - "$out/src" <<'PY'
import os, random, sys
root = os.path.join(sys.argv[1], "AddrBook")
rnd = random.Random(2026)
os.makedirs(os.path.join(root, "sub", "deeper"))
def card(i):
    lines = ["BEGIN:VCARD", "VERSION:3.0", "FN:Person %d" % i, "EMAIL:p%d@example.org" % i]
    lines += ["NOTE:" + "".join(rnd.choice("abcdefghij ") for _ in range(60)) for _ in range(rnd.randint(10, 50))]
    return ("\r\n".join(lines + ["END:VCARD", ""])).encode()
for i in range(5):
    open(os.path.join(root, "card%d.vcf" % i), "wb").write(card(i))
open(os.path.join(root, "sub", "s.vcf"), "wb").write(card(10))
open(os.path.join(root, "sub", "deeper", "d.vcf"), "wb").write(card(11))
open(os.path.join(root, "empty.vcf"), "wb").close()
open(os.path.join(root, "random.bin"), "wb").write(bytes(rnd.getrandbits(8) for _ in range(40000)))
PY
cd "$out/src"
zip -q -r -0 "$out/ref/infozip_stored.zip" AddrBook
zip -q -r -9 "$out/ref/infozip_deflated.zip" AddrBook
zip -q -r -Z bzip2 "$out/ref/infozip_bzip2.zip" AddrBook
7z a -bd -tzip -mm=Deflate "$out/ref/7zip_deflate.zip" AddrBook >/dev/null
7z a -bd -tzip -mm=BZip2 "$out/ref/7zip_bzip2.zip" AddrBook >/dev/null
/usr/bin/python3 - "$out/ref" <<'PY'
import os, sys, zipfile
for label, method in (("stored", zipfile.ZIP_STORED), ("deflated", zipfile.ZIP_DEFLATED), ("bzip2", zipfile.ZIP_BZIP2)):
    with zipfile.ZipFile(os.path.join(sys.argv[1], "python_%s.zip" % label), "w", method) as z:
        for folder, dirs, files in os.walk("AddrBook"):
            dirs.sort()
            z.write(folder)
            for f in sorted(files):
                z.write(os.path.join(folder, f))
PY
# One encrypted archive, which must be refused with a clear error.
zip -q -P secret "$out/ref/encrypted.zip.bin" AddrBook/card0.vcf
ls "$out/ref" | wc -l
