// The zip component on real folders: packing a tree, extracting it again,
// hostile and broken archives, and the exchange with other zip tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <random>

#include "tests/support/test_support.h"
#include "zip/vex_zip.h"

namespace n2 {
namespace {

using n2test::PathExists;
using n2test::ReadFileBytes;
using n2test::TempFolder;
using n2test::WriteFileBytes;

std::string InteropFolder() {
  const char* binary = std::getenv("N2_BINARY_DIR");
  std::string folder = binary ? binary : ".";
  if (!folder.empty() && folder.front() == '/') folder = "Z:" + folder;
  std::replace(folder.begin(), folder.end(), '/', '\\');
  return folder + "\\zip_interop\\";
}

std::string CorpusFolder() {
  const char* source = std::getenv("N2_SOURCE_DIR");
  std::string folder = std::string(source ? source : ".") + "/tests/zip/corpus/";
  if (folder.front() == '/') folder = "Z:" + folder;
  std::replace(folder.begin(), folder.end(), '/', '\\');
  return folder;
}

void MakeFolder(const std::string& path) { ::CreateDirectoryA(path.c_str(), nullptr); }

void SetModified(const std::string& path, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
  FILETIME local, utc;
  ::SystemTimeToFileTime(&st, &local);
  ::LocalFileTimeToFileTime(&local, &utc);
  HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  ::SetFileTime(h, nullptr, nullptr, &utc);
  ::CloseHandle(h);
}

FILETIME Modified(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

DosStamp ListedStamp(const std::string& path) {
  FILETIME utc = Modified(path), local;
  SYSTEMTIME st;
  ::FileTimeToLocalFileTime(&utc, &local);
  ::FileTimeToSystemTime(&local, &st);
  return EncodeDosStamp(LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond});
}

// Packs data\AddrBook into archive the way the upload does.
void Pack(TVexZip& zip, const std::string& archive, const std::string& data) {
  zip.CloseArchive();
  {
    File f = File::CreateAlways(archive);
    TVexZip::WriteEmptyArchive(f);
  }
  zip.OpenArchive(archive);
  zip.AddPathList({data + "AddrBook"}, data, true);
  zip.CloseArchive();
}

// The component with the settings the plug-in uses.
struct MaxZip : TVexZip {
  MaxZip() { SetCompressionType(TZipCompressionType::ctMaximum); }
};

std::vector<std::string> Names(const TVexZip& zip) {
  std::vector<std::string> names;
  for (const ZipEntry& e : zip.Entries()) names.push_back(e.central.name);
  return names;
}

// A small address book: text cards, an empty card, subfolders, a file without extension.
struct Book {
  TempFolder root;
  std::string data = root.Path();
  std::string book = data + "AddrBook\\";
  std::string archive = data + "N2AddBook.zip";
  Book() {
    MakeFolder(book);
    MakeFolder(book + "sub");
    MakeFolder(book + "sub\\deep");
    MakeFolder(book + "dot.d");
    WriteFileBytes(book + "a.vcf", Card("Ann"));
    WriteFileBytes(book + "README", "no extension");
    WriteFileBytes(book + "empty.vcf", "");
    WriteFileBytes(book + "sub\\b.vcf", Card("Bob"));
    WriteFileBytes(book + "sub\\deep\\c.vcf", Card("Cid"));
    WriteFileBytes(book + "dot.d\\noext", Card("Dot"));
  }
  static std::string Card(const std::string& who) {
    std::string s = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + who + "\r\n";
    for (int i = 0; i < 30; ++i) s += "NOTE:line " + std::to_string(i) + " of " + who + "\r\n";
    return s + "END:VCARD\r\n";
  }
};

TEST(VexZipPack, EntriesFolderFirstDepthFirstWithAttributesAndTimes) {
  Book b;
  SetModified(b.book + "a.vcf", 2001, 2, 3, 4, 5, 6);
  SetModified(b.book + "sub\\b.vcf", 1975, 6, 1, 12, 0, 0);  // before 1980: no DOS time
  ::SetFileAttributesA((b.book + "a.vcf").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  ::SetFileAttributesA((b.book + "empty.vcf").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  std::vector<std::string> expected = {"AddrBook/",     "AddrBook/a.vcf",     "AddrBook/empty.vcf",
                                       "AddrBook/sub/", "AddrBook/sub/b.vcf", "AddrBook/sub/deep/",
                                       "AddrBook/sub/deep/c.vcf", "AddrBook/dot.d/", "AddrBook/dot.d/noext",
                                       "AddrBook/many/"};
  // Enough cards that the listing hands them over in several parts and they are read in several windows.
  ::CreateDirectoryA((b.book + "many").c_str(), nullptr);
  for (int i = 0; i < 1100; ++i) {
    WriteFileBytes(b.book + "many\\c" + std::to_string(i) + ".vcf", Book::Card("c" + std::to_string(i)));
    expected.push_back("AddrBook/many/c" + std::to_string(i) + ".vcf");
  }
  MaxZip zip;
  Pack(zip, b.archive, b.data);
  zip.OpenArchive(b.archive);
  ASSERT_TRUE(zip.IsZipFile());
  std::vector<std::string> names = Names(zip);
  if (b.data.find('.') == std::string::npos) {
    EXPECT_EQ(std::count(names.begin(), names.end(), "AddrBook/README"), 0);  // no "." in its path
  }
  std::vector<std::string> sorted_names = names, sorted_expected = expected;
  std::sort(sorted_names.begin(), sorted_names.end());
  std::sort(sorted_expected.begin(), sorted_expected.end());
  ASSERT_EQ(sorted_names, sorted_expected);
  EXPECT_EQ(names.front(), "AddrBook/");
  // A folder's entry comes before its contents, and a subtree is contiguous (depth first).
  for (std::string folder : {"AddrBook/sub/", "AddrBook/sub/deep/", "AddrBook/dot.d/", "AddrBook/many/"}) {
    auto at = std::find(names.begin(), names.end(), folder) - names.begin();
    size_t count = std::count_if(names.begin(), names.end(), [&](auto& n) { return n.rfind(folder, 0) == 0; });
    for (size_t i = at; i < at + count; ++i) EXPECT_EQ(names[i].rfind(folder, 0), 0u) << names[i];
  }
  for (const ZipEntry& e : zip.Entries()) {
    std::string path = b.data + e.central.name;
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.back() == '\\') path.pop_back();
    SCOPED_TRACE(e.central.name);
    EXPECT_EQ(e.central.external_attributes, ::GetFileAttributesA(path.c_str()) & 0xFFFF);
    EXPECT_EQ(e.central.version_made_by, 20);
    EXPECT_EQ(e.central.flags, 0);
    if (e.Folder()) {
      EXPECT_EQ(e.central.method, 0);
      EXPECT_EQ(e.central.compressed_size, 0u);
      continue;
    }
    DosStamp want = ListedStamp(path);
    EXPECT_EQ(e.central.stamp.time, want.time);
    EXPECT_EQ(e.central.stamp.date, want.date);
    EXPECT_EQ(e.central.uncompressed_size, ReadFileBytes(path).size());
    EXPECT_EQ(e.central.crc, Crc32(ReadFileBytes(path)));
    EXPECT_EQ(e.central.method, e.central.uncompressed_size ? 8 : 0);
  }
  const DosStamp a = zip.Entries()[std::find(names.begin(), names.end(), "AddrBook/a.vcf") - names.begin()].central.stamp;
  EXPECT_EQ(a.time, EncodeDosStamp({2001, 2, 3, 4, 5, 6}).time);
  EXPECT_EQ(a.date, EncodeDosStamp({2001, 2, 3, 4, 5, 6}).date);
  const DosStamp old = zip.Entries()[std::find(names.begin(), names.end(), "AddrBook/sub/b.vcf") - names.begin()].central.stamp;
  EXPECT_EQ(old.time, 0);
  EXPECT_EQ(old.date, 0);
}

TEST(VexZipPack, AddingTheSameTreeAgainReplacesEntriesAndListedFilesNeedNoDot) {
  Book b;
  MaxZip zip;
  Pack(zip, b.archive, b.data);
  zip.OpenArchive(b.archive);
  const std::vector<std::string> first = Names(zip);
  zip.AddPathList({b.data + "AddrBook"}, b.data, true);
  // Folder entries are found and kept; every file entry is replaced, so the files now follow them.
  std::vector<std::string> expected;
  std::copy_if(first.begin(), first.end(), std::back_inserter(expected), [](auto& n) { return n.back() == '/'; });
  std::copy_if(first.begin(), first.end(), std::back_inserter(expected), [](auto& n) { return n.back() != '/'; });
  EXPECT_EQ(Names(zip), expected);
  zip.CloseArchive();
  TempFolder target;
  zip.OpenArchive(b.archive);
  zip.ExtractArchiveTo(target.Path());
  EXPECT_EQ(ReadFileBytes(target / "AddrBook\\sub\\b.vcf"), ReadFileBytes(b.book + "sub\\b.vcf"));
  zip.CloseArchive();
  zip.OpenArchive(b.archive);
  zip.AddPathList({b.book + "README", b.data + "missing.vcf"}, b.data, true);
  std::vector<std::string> names = Names(zip);
  EXPECT_EQ(names.back(), "AddrBook/README");
  EXPECT_EQ(names.size(), 10u);
}

TEST(VexZipPack, EmptyArchiveAndMissingFolder) {
  TempFolder t;
  MaxZip zip;
  Pack(zip, t / "N2AddBook.zip", t.Path());
  EXPECT_EQ(ReadFileBytes(t / "N2AddBook.zip"), EncodeEndRecord(EndRecord{}));
  zip.OpenArchive(t / "N2AddBook.zip");
  EXPECT_TRUE(zip.IsZipFile());
  EXPECT_TRUE(zip.Entries().empty());
}

TEST(VexZipOpen, MissingFileRaisesNotFoundAndNonZipFilesAreReleased) {
  TempFolder t;
  MaxZip zip;
  try {
    zip.OpenArchive(t / "none.zip");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "File \"" + (t / "none.zip") + "\" not found!");
  }
  for (const char* name : {"empty.zip", "garbage21.zip", "error_page.zip"}) {
    WriteFileBytes(t / name, ReadFileBytes(CorpusFolder() + name));
    EXPECT_NO_THROW(zip.OpenArchive(t / name));
    EXPECT_FALSE(zip.IsZipFile()) << name;
    EXPECT_FALSE(zip.Active());
    EXPECT_TRUE(::DeleteFileA((t / name).c_str())) << name;  // the file is not held open
  }
}

TEST(VexZipExtract, FilesFoldersAttributesAndTimeOfWriting) {
  Book b;
  SetModified(b.book + "a.vcf", 2001, 2, 3, 4, 5, 6);
  ::SetFileAttributesA((b.book + "a.vcf").c_str(), FILE_ATTRIBUTE_HIDDEN);
  ::SetFileAttributesA((b.book + "sub\\b.vcf").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  ::SetFileAttributesA((b.book + "empty.vcf").c_str(), FILE_ATTRIBUTE_READONLY);
  MaxZip zip;
  Pack(zip, b.archive, b.data);
  TempFolder target;
  FILETIME before;
  ::GetSystemTimeAsFileTime(&before);
  zip.OpenArchive(b.archive);
  zip.ExtractArchiveTo(target.Path());
  for (const char* name : {"a.vcf", "empty.vcf", "sub\\b.vcf", "sub\\deep\\c.vcf", "dot.d\\noext"}) {
    SCOPED_TRACE(name);
    std::string got = target.Path() + "AddrBook\\" + name;
    EXPECT_EQ(ReadFileBytes(got), ReadFileBytes(b.book + name));
    DWORD source = ::GetFileAttributesA((b.book + name).c_str());
    EXPECT_EQ(::GetFileAttributesA(got.c_str()), FILE_ATTRIBUTE_ARCHIVE | (source & 7));
    FILETIME m = Modified(got);
    EXPECT_GE(ULARGE_INTEGER({{m.dwLowDateTime, m.dwHighDateTime}}).QuadPart + 20000000,
              ULARGE_INTEGER({{before.dwLowDateTime, before.dwHighDateTime}}).QuadPart);
  }
  EXPECT_TRUE(PathExists(target.Path() + "AddrBook\\sub\\deep"));

  // Extracting again merges: a local file the archive lacks stays, changed files come back, hidden ones too.
  WriteFileBytes(target.Path() + "AddrBook\\local.vcf", "mine");
  ::SetFileAttributesA((target.Path() + "AddrBook\\sub\\b.vcf").c_str(), FILE_ATTRIBUTE_NORMAL);
  WriteFileBytes(target.Path() + "AddrBook\\sub\\b.vcf", "changed");
  ::SetFileAttributesA((target.Path() + "AddrBook\\empty.vcf").c_str(), FILE_ATTRIBUTE_NORMAL);
  zip.ExtractArchiveTo(target.Path());
  EXPECT_EQ(ReadFileBytes(target.Path() + "AddrBook\\local.vcf"), "mine");
  EXPECT_EQ(ReadFileBytes(target.Path() + "AddrBook\\sub\\b.vcf"), ReadFileBytes(b.book + "sub\\b.vcf"));

  // A read-only local file that holds its entry's bytes is left alone: only its attributes are set.
  const std::string a = target.Path() + "AddrBook\\a.vcf";
  ::SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_READONLY);
  zip.ExtractArchiveTo(target.Path());
  EXPECT_EQ(::GetFileAttributesA(a.c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(zip.Extracted.Written, 0u);
  // With other bytes it cannot be replaced: the extraction fails and the file keeps its content.
  ::SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_NORMAL);
  WriteFileBytes(a, "local edit");
  ::SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(zip.ExtractArchiveTo(target.Path()), Exception);
  EXPECT_EQ(ReadFileBytes(a), "local edit");
  zip.CloseArchive();
}

// Files below folder, other than those listed.
std::vector<std::string> Unexpected(const std::string& folder, const std::vector<std::string>& allowed,
                                    const std::string& prefix = "") {
  std::vector<std::string> out;
  WIN32_FIND_DATAA item;
  HANDLE find = ::FindFirstFileA((folder + "*").c_str(), &item);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    std::string name = item.cFileName;
    if (name == "." || name == "..") continue;
    std::string rel = prefix + name;
    if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      auto inner = Unexpected(folder + name + "\\", allowed, rel + "\\");
      out.insert(out.end(), inner.begin(), inner.end());
      if (std::find(allowed.begin(), allowed.end(), rel + "\\") == allowed.end()) out.push_back(rel + "\\");
    } else if (std::find(allowed.begin(), allowed.end(), rel) == allowed.end()) {
      out.push_back(rel);
    }
  } while (::FindNextFileA(find, &item));
  ::FindClose(find);
  return out;
}

TEST(VexZipExtract, HostileNamesAreSkipped) {
  TempFolder sandbox;
  const std::string inner = sandbox / "inner\\";
  MakeFolder(inner);
  MaxZip zip;
  zip.OpenArchive(CorpusFolder() + "traversal.zip");
  ASSERT_TRUE(zip.IsZipFile());
  zip.ExtractArchiveTo(inner);
  EXPECT_EQ(ReadFileBytes(inner + "AddrBook\\ok.vcf"), "evil AddrBook/ok.vcf");
  EXPECT_EQ(Unexpected(sandbox.Path(), {"inner\\", "inner\\AddrBook\\", "inner\\AddrBook\\ok.vcf"}),
            std::vector<std::string>{});
  char temp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, temp);
  for (const std::string& spot : {std::string(temp), std::string("C:\\"), sandbox.Path()})
    for (int i = 1; i <= 7; ++i)
      EXPECT_FALSE(PathExists(spot + "evil" + std::to_string(i) + ".txt")) << spot << i;
}

TEST(VexZipExtract, LocalFileKeepsItsContentWhenItsEntryFails) {
  TempFolder t;
  const std::string book = t / "AddrBook\\";
  MakeFolder(book);
  for (const char* name : {"good.vcf", "bad.vcf", "first.vcf", "second.vcf", "ok.vcf", "broken.vcf"})
    WriteFileBytes(book + name, "precious");
  MaxZip zip;
  zip.OpenArchive(CorpusFolder() + "bad_crc.zip");
  EXPECT_THROW(zip.ExtractArchiveTo(t.Path()), EDecompressionError);
  EXPECT_EQ(ReadFileBytes(book + "good.vcf"), "precious");  // nothing of the failing window is written
  EXPECT_EQ(ReadFileBytes(book + "bad.vcf"), "precious");
  zip.OpenArchive(CorpusFolder() + "malformed_deflate.zip");
  EXPECT_THROW(zip.ExtractArchiveTo(t.Path()), EDecompressionError);
  EXPECT_EQ(ReadFileBytes(book + "broken.vcf"), "precious");
  zip.OpenArchive(CorpusFolder() + "cut_mid_entry.zip");
  EXPECT_NO_THROW(zip.ExtractArchiveTo(t.Path()));
  EXPECT_NE(ReadFileBytes(book + "first.vcf"), "precious");
  EXPECT_EQ(ReadFileBytes(book + "second.vcf"), "precious");
  zip.CloseArchive();
  EXPECT_EQ(Unexpected(t.Path(), {"AddrBook\\", "AddrBook\\good.vcf", "AddrBook\\bad.vcf", "AddrBook\\first.vcf",
                                  "AddrBook\\second.vcf", "AddrBook\\ok.vcf", "AddrBook\\broken.vcf"}),
            std::vector<std::string>{});  // no temporary files left behind
}

TEST(VexZipExtract, AFailureLeavesItsWholeWindowAndLaterOnesUnapplied) {
  // Enough entries for several windows of parallel work; entry 400, in the second
  // window, has a wrong CRC: the first window is applied, nothing after it.
  MemoryStream m(EncodeEndRecord(EndRecord{}));
  ZipArchive writer{LeadBytes::Cp932()};
  ASSERT_TRUE(writer.Read(m));
  writer.BeginBatch();
  for (int i = 0; i < 600; ++i)
    writer.AddStreamEntry("AddrBook\\c" + std::to_string(i) + ".vcf", 0x20, "card " + std::to_string(i), {}, 9);
  writer.EndBatch();
  std::string bytes = m.Bytes();
  size_t record = writer.End().directory_offset;
  for (int i = 0; i < 400; ++i) record += 46 + writer.Entries()[i].central.name.size();
  bytes[record + 16] ^= 0x01;
  TempFolder t;
  MakeFolder(t / "AddrBook");
  for (int i = 0; i < 600; ++i) WriteFileBytes(t / "AddrBook\\c" + std::to_string(i) + ".vcf", "old");
  WriteFileBytes(t / "many.zip", bytes);
  MaxZip zip;
  zip.OpenArchive(t / "many.zip");
  EXPECT_THROW(zip.ExtractArchiveTo(t.Path()), EDecompressionError);
  zip.CloseArchive();
  for (int i = 0; i < 600; ++i)
    ASSERT_EQ(ReadFileBytes(t / "AddrBook\\c" + std::to_string(i) + ".vcf"), i < 256 ? "card " + std::to_string(i) : "old")
        << i;
  EXPECT_FALSE(PathExists(t / "~N2Unpack.tmp"));
}

TEST(VexZipExtract, RepeatedNamesEndWithTheLastEntryAndNoTemporaryFilesStay) {
  TempFolder t;
  MaxZip zip;
  zip.OpenArchive(CorpusFolder() + "duplicate_names.zip");
  zip.ExtractArchiveTo(t.Path());
  zip.CloseArchive();
  EXPECT_EQ(ReadFileBytes(t / "AddrBook\\dup.vcf"), "third");
  EXPECT_EQ(ReadFileBytes(t / "AddrBook\\other.vcf"), "other");
  EXPECT_EQ(Unexpected(t.Path(), {"AddrBook\\", "AddrBook\\dup.vcf", "AddrBook\\other.vcf"}),
            std::vector<std::string>{});
}

TEST(VexZipExtract, EncryptedEntryCannotBeProcessed) {
  TempFolder t;
  MaxZip zip;
  zip.OpenArchive(InteropFolder() + "ref\\encrypted.zip.bin");
  try {
    zip.ExtractArchiveTo(t.Path());
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot process this file: AddrBook/card0.vcf ");
  }
  EXPECT_FALSE(PathExists(t / "AddrBook\\card0.vcf"));
}

TEST(VexZipInterop, ExtractsArchivesOfOtherTools) {
  const std::string src = InteropFolder() + "src\\AddrBook\\";
  for (const char* archive : {"infozip_stored.zip", "infozip_deflated.zip", "infozip_bzip2.zip", "7zip_deflate.zip",
                              "7zip_bzip2.zip", "python_stored.zip", "python_deflated.zip", "python_bzip2.zip"}) {
    SCOPED_TRACE(archive);
    TempFolder t;
    MaxZip zip;
    zip.OpenArchive(InteropFolder() + "ref\\" + archive);
    ASSERT_TRUE(zip.IsZipFile());
    zip.ExtractArchiveTo(t.Path());
    zip.CloseArchive();
    for (const char* name : {"card0.vcf", "card1.vcf", "card2.vcf", "card3.vcf", "card4.vcf", "empty.vcf",
                             "random.bin", "sub\\s.vcf", "sub\\deeper\\d.vcf"})
      EXPECT_EQ(ReadFileBytes(t / "AddrBook\\" + name), ReadFileBytes(src + name)) << name;
  }
}

// Writes the archive's directory as our reader sees it, for the check with other tools.
void WriteManifest(const std::string& archive) {
  TVexZip zip;
  zip.OpenArchive(archive);
  ASSERT_TRUE(zip.IsZipFile());
  std::string text;
  char line[512];
  for (const ZipEntry& e : zip.Entries()) {
    snprintf(line, sizeof line, "%s|%u|%08x|%u|%u|%u\n", e.central.name.c_str(), e.central.uncompressed_size,
             e.central.crc, e.central.stamp.time, e.central.stamp.date, e.central.external_attributes);
    text += line;
  }
  WriteFileBytes(archive + ".manifest", text);
}

// Produces archives for zip_check_our_archives, which tests them with unzip, 7z and Python's zipfile.
TEST(VexZipInterop, WritesArchivesForTheCheckWithOtherTools) {
  const std::string ours = InteropFolder() + "ours\\";
  MakeFolder(ours);
  Book b;
  WriteFileBytes(b.book + "random.bin", ReadFileBytes(InteropFolder() + "src\\AddrBook\\random.bin"));
  // Data that does not compress, larger than the archive's write-behind block:
  // written past the block, between entries that are gathered.
  std::string large(3u << 19, '\0');
  uint32_t x = 2026;
  for (char& c : large) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  WriteFileBytes(b.book + "large.bin", large);
  SetModified(b.book + "a.vcf", 2001, 2, 3, 4, 5, 6);
  SetModified(b.book + "sub\\deep\\c.vcf", 2107, 12, 31, 23, 59, 58);
  ::SetFileAttributesA((b.book + "a.vcf").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  ::SetFileAttributesA((b.book + "sub\\b.vcf").c_str(), FILE_ATTRIBUTE_SYSTEM);
  ::SetFileAttributesA((b.book + "empty.vcf").c_str(), FILE_ATTRIBUTE_READONLY);
  MaxZip zip;
  Pack(zip, ours + "book.zip", b.data);
  WriteManifest(ours + "book.zip");
  // The same archive after one entry was replaced in place.
  ::CopyFileA((ours + "book.zip").c_str(), (ours + "replaced.zip").c_str(), FALSE);
  WriteFileBytes(b.book + "sub\\deep\\c.vcf", Book::Card("Changed"));
  zip.OpenArchive(ours + "replaced.zip");
  zip.AddPathList({b.book + "sub\\deep\\c.vcf"}, b.data, true);
  zip.CloseArchive();
  WriteManifest(ours + "replaced.zip");
  TempFolder none;
  Pack(zip, ours + "empty.zip", none.Path());
  WriteManifest(ours + "empty.zip");
}

// Hundreds of damaged archives extracted into a sandbox: errors are allowed,
// crashes and files outside the target folder are not.
TEST(VexZipFuzz, DamagedArchivesStayInsideTheTarget) {
  Book b;
  MaxZip zip;
  Pack(zip, b.archive, b.data);
  const std::string seed = ReadFileBytes(b.archive);
  TempFolder sandbox;
  const std::string inner = sandbox / "inner\\";
  std::mt19937 random(99);
  for (int round = 0; round < 300; ++round) {
    std::string a = seed;
    if (round % 3 == 0) {
      a.resize(random() % a.size());
    } else {
      for (int f = 0; f < 1 + static_cast<int>(random() % 6); ++f)
        a[random() % a.size()] ^= static_cast<char>(1u << (random() % 8));
    }
    WriteFileBytes(sandbox / "fuzz.zip", a);
    MakeFolder(inner);
    try {
      zip.OpenArchive(sandbox / "fuzz.zip");
      zip.ExtractArchiveTo(inner);
    } catch (const std::exception&) {
    }
    zip.CloseArchive();
    ASSERT_EQ(Unexpected(sandbox.Path(), {"fuzz.zip"}, "").size(), Unexpected(inner, {}).size() + 1)
        << "round " << round;  // everything but the archive lies in inner
    n2test::RemoveTree(inner);
  }
}

}  // namespace
}  // namespace n2
