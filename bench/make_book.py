#!/usr/bin/python3
"""Address books for the benchmarks.

  make_book.py make FOLDER [COUNT] [photos]   writes COUNT vCard-like files
      (default 5,000, 1-4 KB each; with "photos" each also holds a photo of
      60-120 KB of random bytes, as JPEG data is to a compressor) into FOLDER
      and four subfolders, the same bytes on every run
  make_book.py touch FOLDER TAG      changes one card of FOLDER (the same one
      every time) so that its content depends on TAG
"""
import os
import random
import sys

FOLDERS = ["", "family", "work", "work/clients", "archive"]
WORDS = "alpha beta gamma delta street road avenue city north south phone mobile note meeting".split()
CHANGED = os.path.join("work", "card00042.vcf")


def make(root, count, photos=False):
    rnd = random.Random(5000)
    for i in range(count):
        folder = os.path.join(root, FOLDERS[i % len(FOLDERS)])
        os.makedirs(folder, exist_ok=True)
        size = rnd.randint(1024, 4096)
        lines = ["BEGIN:VCARD", "VERSION:3.0", "FN:Person %05d" % i, "N:Person;%05d;;;" % i,
                 "EMAIL;TYPE=INTERNET:person%05d@example.org" % i, "TEL;TYPE=CELL:+49 170 %07d" % rnd.randrange(10**7)]
        text = "\r\n".join(lines) + "\r\n"
        while len(text) < size - 12:
            text += "NOTE:" + " ".join(rnd.choice(WORDS) for _ in range(rnd.randint(4, 12))) + "\r\n"
        text = (text[:size - 11] + "\r\n").encode()
        if photos:
            text += b"PHOTO;ENCODING=b;TYPE=JPEG:" + rnd.randbytes(rnd.randint(60000, 120000)) + b"\r\n"
        with open(os.path.join(folder, "card%05d.vcf" % i), "wb") as f:
            f.write(text + b"END:VCARD\r\n")


def touch(root, tag):
    path = os.path.join(root, CHANGED)
    with open(path, "rb") as f:
        text = f.read()
    head = text[:text.rindex(b"END:VCARD")]
    if b"\r\nNOTE:changed " in head:
        head = head[:head.rindex(b"NOTE:changed ")]
    with open(path, "wb") as f:
        f.write(head + b"NOTE:changed %s\r\nEND:VCARD\r\n" % tag.encode())


if __name__ == "__main__":
    if 3 <= len(sys.argv) <= 5 and sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 5000, sys.argv[4:] == ["photos"])
    elif len(sys.argv) == 4 and sys.argv[1] == "touch":
        touch(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
