"""Two installations on a Japanese system (code page 932) share an address book
whose folder and card names hold characters whose second byte is that of "\\",
"|" or a letter, through the FTP server of the test fixture. The plug-ins and
data folders lie in folders whose names end in such characters too.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import n2hosts  # noqa: E402

JAPANESE = {"LC_ALL": "ja_JP.UTF-8"}

# ソ 83 5C, 表 95 5C, 十 8F 5C, 能 94 5C, 予 97 5C, ポ 83 7C, ア 83 41, ヂ 83 61.
BOOK_A = {
    "ソフト開発/": None,
    "ソフト開発/表.vcf": n2hosts.card("表"),
    "十能/": None,
    "十能/予定.txt": "十能の予定".encode("cp932"),
    "ポイント.vcf": n2hosts.card("ポイント"),
    "ア.vcf": n2hosts.card("ア"),
    "ヂ.vcf": n2hosts.card("ヂ"),
    "ソ/": None,
    "ソ/ポ/": None,
    "ソ/ポ/能.vcf": n2hosts.card("能"),
}

# What a zip tool of Japanese Windows writes: names in code page 932, no UTF-8 flag.
TOOL_BOOK = {
    "AddrBook/表示/": None,
    "AddrBook/表示/ソ.vcf": n2hosts.card("ソ"),
    "AddrBook/能力.vcf": n2hosts.card("能力"),
    "AddrBook/ポ/十.txt": "十".encode("cp932"),
}


class Cp932Info(zipfile.ZipInfo):
    def _encodeFilenameFlags(self):
        return self.filename.encode("cp932"), self.flag_bits


def raw_names(archive):
    """The entry names as stored, and whether any entry has the UTF-8 flag."""
    with zipfile.ZipFile(archive) as z:
        infos = z.infolist()
        return ({i.orig_filename.encode("cp437") if not i.flag_bits & 0x800 else None for i in infos},
                any(i.flag_bits & 0x800 for i in infos))


def host_ok(test, output, command):
    test.assertIn("%s: done" % command, output)
    test.assertNotIn("box:", output)


class JapaneseNames(unittest.TestCase):
    def setUp(self):
        locales = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout.split()
        self.assertTrue({"ja_JP.utf8", "ja_JP.UTF-8"} & set(locales), "the ja_JP.UTF-8 locale is not generated")
        port = n2hosts.fixture_port("ftp-servers", "real")
        self.work = tempfile.mkdtemp(prefix="n2-cp932-", dir=n2hosts.BINARY_DIR)
        folder = os.path.basename(self.work)
        self.server_folder = os.path.join(n2hosts.BINARY_DIR, "ftp-servers", "root", folder)
        os.makedirs(self.server_folder)
        settings = n2hosts.settings_text(0, "127.0.0.1:%d" % port, "/%s/" % folder)
        self.a = n2hosts.Sandbox(os.path.join(self.work, "A", "プラグイン表"), os.path.join(self.work, "A", "データソ"),
                                 settings, JAPANESE)
        self.b = n2hosts.Sandbox(os.path.join(self.work, "B", "予"), os.path.join(self.work, "B", "十能"), settings,
                                 JAPANESE)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.server_folder, ignore_errors=True)

    def test_names_travel_intact_between_installations(self):
        n2hosts.write_tree(self.a.book, BOOK_A)
        host_ok(self, self.a.run("start", "upload", "exit"), "upload")

        archive = os.path.join(self.server_folder, "N2AddBook.zip")
        names, utf8 = raw_names(archive)
        expected = {b"AddrBook/"} | {("AddrBook/" + n).encode("cp932") for n in BOOK_A}
        self.assertEqual(names, expected)
        self.assertFalse(utf8)

        host_ok(self, self.b.run("start", "download", "exit"), "download")
        self.assertEqual(n2hosts.read_tree(self.b.book), n2hosts.read_tree(self.a.book))
        self.assertEqual([n for n in os.listdir(self.b.data_dir) if os.path.isdir(os.path.join(self.b.data_dir, n))],
                         ["AddrBook"])

        # An archive made by a zip tool of Japanese Windows.
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            for name, content in TOOL_BOOK.items():
                z.writestr(Cp932Info(name), b"" if content is None else content)
        host_ok(self, self.b.run("start", "download", "exit"), "download")
        expected = dict(n2hosts.read_tree(self.a.book))
        expected.update({n[len("AddrBook/"):]: c for n, c in TOOL_BOOK.items()})
        expected["ポ/"] = None
        self.assertEqual(n2hosts.read_tree(self.b.book), expected)


if __name__ == "__main__":
    unittest.main()
