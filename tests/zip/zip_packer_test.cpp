// Packing a folder tree on a file system held in memory (natively and under
// Wine) and, under Wine, on real folders, where the archives for the check
// with other zip tools are written.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "tests/support/memory_file_system.h"
#include "zip/zip_codec.h"
#include "zip/zip_packer.h"

#ifdef _WIN32
#include <malloc.h>

#include <new>

#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "base/win_file_system.h"
#include "tests/support/test_support.h"
#include "zip/zip_extractor.h"

// The program's heap as operator new sees it: the bytes in use and their
// peak since it was last set back, for the memory a job takes.
namespace heap {
std::atomic<int64_t> live{0}, peak{0};
void Count(int64_t bytes) {
  const int64_t now = live += bytes;
  for (int64_t p = peak.load(); now > p && !peak.compare_exchange_weak(p, now);) {
  }
}
// The peak above what is in use now while work runs.
template <class Work>
int64_t PeakDuring(Work work) {
  const int64_t before = live.load();
  peak = before;
  work();
  return peak.load() - before;
}
}  // namespace heap

void* operator new(size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (!p) throw std::bad_alloc();
  heap::Count(static_cast<int64_t>(_msize(p)));
  return p;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  heap::Count(-static_cast<int64_t>(_msize(p)));
  std::free(p);
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
#endif

namespace n2 {
namespace {

using n2test::FsOp;
using n2test::MemoryFileSystem;

const std::string kRoot = "C:\\Data\\", kBook = kRoot + "AddrBook\\", kArchive = kRoot + "N2AddBook.zip";
const std::string kPrevious = kRoot + "previous.zip";

std::string Card(const std::string& who) { return "BEGIN:VCARD\r\nFN:" + who + "\r\nEND:VCARD\r\n"; }

using Identify = std::function<std::optional<CardIdentity>(std::string_view, const IndexedFile&)>;

// The archive a pack takes data from, and the index that goes with it.
struct Previous {
  const FileIndex* index = nullptr;
  std::string archive;
  bool archive_is_proven = false;
};

PackResult Pack(TFileSystem& fs, const std::string& archive, std::optional<Previous> previous = {},
                const std::string& root = kRoot, const LeadBytes& lead = LeadBytes::Cp932(),
                Identify identify = {}, GrowingFile* growing = nullptr) {
  PackRequest request;
  request.fs = &fs;
  request.lead = &lead;
  request.root = root;
  request.folder = root + "AddrBook";
  request.archive = archive;
  request.identify = std::move(identify);
  request.growing = growing;
  if (previous) {
    request.previous_archive = previous->archive;
    request.previous = [p = *previous] { return PackPrevious{p.index, p.archive_is_proven}; };
  }
  return PackFolder(request);
}


struct ReadBack {
  MemoryStream bytes;
  ZipArchive zip{LeadBytes::Cp932()};
  explicit ReadBack(std::string archive) : bytes(std::move(archive)) { EXPECT_TRUE(zip.Read(bytes)); }
  const CentralRecord& operator[](const std::string& name) const {
    return zip.Entries().at(static_cast<size_t>(zip.FindEntry(name))).central;
  }
};

// The memory file system's clock starts at 2024-01-01 00:00:00 UTC, 09:00:00 in its local time (Japan).
DosStamp At(int second) { return EncodeDosStamp({2024, 1, 1, 9, 0, second}); }

// The computer's clock runs an hour ahead of the file system's (a file server's).
struct ClockAhead : MemoryFileSystem {
  uint64_t Now() override { return MemoryFileSystem::Now() + 3600 * 10'000'000ull; }
};

// Cards with attributes, an empty one, a subfolder, a file without a "." in
// its path, a code page 932 name whose second byte is "\", a card from
// before 1980, and enough cards that they are listed and read in parts.
struct Book {
  ClockAhead fs;
  Book() {
    fs.PutFolder(kBook + "sub");
    fs.Advance(5);
    fs.Put(kBook + "a.vcf", Card("Ann"), kAttrHidden | kAttrArchive);
    fs.Put(kBook + "README", "no extension");
    fs.Put(kBook + "empty.vcf", "", kAttrReadOnly | kAttrSystem);
    fs.Put(kBook + "sub\\b.vcf", Card("Bob"));
    fs.Put(kBook + "\x83\x5C.vcf", Card("So"));
    for (int i = 10000; i < 11100; ++i) fs.Put(kBook + "many\\" + std::to_string(i) + ".vcf", Card(std::to_string(i)));
    fs.Advance(-1'500'000'000);  // 1976
    fs.Put(kBook + "old.vcf", Card("Old"));
    fs.Advance(1'500'000'005);
  }
};

TEST(ZipPacker, EntriesInListingOrderWithTheirStampsAndAttributes) {
  Book b;
  const PackResult packed = Pack(b.fs, kArchive);
  MemoryStream want(EncodeEndRecord(EndRecord{}));  // what adding the entries one by one gives
  ZipArchive writer{LeadBytes::Cp932()};
  ASSERT_TRUE(writer.Read(want));
  writer.BeginBatch();
  auto add = [&](const std::string& name, uint32_t attributes, const std::string& data, DosStamp stamp) {
    writer.AddStreamEntry("AddrBook/" + name, attributes, data, stamp, 9);
  };
  add("", kAttrFolder, "", At(0));
  add("a.vcf", kAttrHidden | kAttrArchive, Card("Ann"), At(4));
  add("empty.vcf", kAttrReadOnly | kAttrSystem, "", At(4));
  add("many/", kAttrFolder, "", At(4));
  for (int i = 10000; i < 11100; ++i) add("many/" + std::to_string(i) + ".vcf", kAttrArchive, Card(std::to_string(i)), At(4));
  add("old.vcf", kAttrArchive, Card("Old"), DosStamp{});
  add("sub/", kAttrFolder, "", At(0));
  add("sub/b.vcf", kAttrArchive, Card("Bob"), At(4));
  add("\x83\x5C.vcf", kAttrArchive, Card("So"), At(4));
  writer.EndBatch();
  EXPECT_TRUE(b.fs.Content(kArchive) == want.Bytes());
  EXPECT_EQ(packed.entries.size(), writer.Entries().size());
  EXPECT_EQ(b.fs.Count(FsOp::kSync), 1);
  EXPECT_EQ(packed.files_read, 1105u);
  EXPECT_EQ(packed.index.Count(), 1105u);
  EXPECT_EQ(packed.index.TakenAt(), b.fs.FileSystemNow(kRoot));
  EXPECT_EQ(*packed.index.Find("AddrBook/a.vcf"), (IndexedFile{Card("Ann").size(), b.fs.Stat(kBook + "a.vcf")->write_time,
                                                                kAttrHidden | kAttrArchive, Crc32(Card("Ann")), std::nullopt}));
}

// The previous archive with a stored entry of 65 MB: too large to be read into memory.
std::string Large(const std::string& archive) {
  MemoryStream bytes(archive);
  ZipArchive zip{LeadBytes::Cp932()};
  EXPECT_TRUE(zip.Read(bytes));
  ZipArchive::Prepared padding{0, 65u << 20, kMethodStored, std::string(65u << 20, '\0')};
  padding.crc = Crc32(padding.compressed);
  zip.AddPreparedEntry("AddrBook/padding.bin", kAttrArchive, padding, DosStamp{});
  return bytes.Bytes();
}

// With the last pack's index and archive the cards the index vouches for are
// not read again, unless that archive cannot be used or its data does not
// prove right; the archive is the one a full pack writes.
TEST(ZipPacker, PackingAgainGivesTheFullPacksArchive) {
  const struct {
    const char* what;
    std::function<void(MemoryFileSystem&, std::string)> setup;  // given the last pack's archive
    bool archive_is_proven;
    size_t read;
  } cases[] = {
      {"ours; a card held against reading is not opened",
       [](auto& fs, auto a) { fs.Put(kPrevious, a), fs.Hold(kBook + "sub\\b.vcf", true); }, true, 0},
      {"another's, proven; one card changed",
       [](auto& fs, auto a) { fs.Put(kPrevious, a), fs.Put(kBook + "a.vcf", "changed", kAttrHidden); }, false, 1},
      {"damaged data",
       [](auto& fs, auto a) {
         a[ReadBack(a)["AddrBook/sub/b.vcf"].local_offset + 30 + 18 + 2] ^= 0x40;
         fs.Put(kPrevious, a);
       },
       false, 1},
      {"large, read on its stream", [](auto& fs, auto a) { fs.Put(kPrevious, Large(a)); }, true, 0},
      {"missing", [](auto&, auto) {}, true, 1105},
      {"no zip archive", [](auto& fs, auto) { fs.Put(kPrevious, "<html>404</html>"); }, true, 1105},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Book b;
    const PackResult first = Pack(b.fs, kArchive);
    b.fs.Advance(60);
    c.setup(b.fs, *b.fs.Content(kArchive));
    const PackResult again = Pack(b.fs, kArchive, Previous{&first.index, kPrevious, c.archive_is_proven});
    b.fs.Release(kBook + "sub\\b.vcf");
    const PackResult full = Pack(b.fs, kRoot + "full.zip");
    EXPECT_TRUE(b.fs.Content(kArchive) == b.fs.Content(kRoot + "full.zip"));
    EXPECT_EQ(again.files_read, c.read);
    EXPECT_EQ(again.index.Text(), full.index.Text());
  }
}

// A card saved, deleted or locked after the listing saw it, and failures of
// the file system: the entry and the index hold the version read with its
// stamp, a card gone is left out, and every failure is raised. The index is
// taken at the file system's time when the listing began, so that it does
// not vouch for a card saved after that.
TEST(ZipPacker, ChangesAfterTheListingAndFailures) {
  const std::string card = kBook + "sub\\b.vcf";
  const struct {
    const char* what;
    FsOp op;  // before the nth operation of this kind (reads: of the card)
    int nth;
    std::function<void(MemoryFileSystem&)> change;
    std::optional<std::string> packed;  // the card's entry; nothing: left out
    std::string error;                  // part of the error raised
  } cases[] = {
      {"saved", FsOp::kRead, 1, [&](auto& fs) { fs.Advance(20), fs.Put(card, "new", kAttrReadOnly); }, "new", ""},
      {"deleted", FsOp::kRead, 1, [&](auto& fs) { fs.Remove(card); }, std::nullopt, ""},
      {"locked", FsOp::kRead, 1, [&](auto& fs) { fs.Hold(card, true); }, {}, "Cannot open file \"" + card + "\""},
      {"disk full", FsOp::kStreamWrite, 300, [](auto& fs) { fs.SetFreeSpace(0); }, {}, "not enough space"},
      {"sync failed", FsOp::kSync, 1, [](auto&) { throw EWriteError("sync failed"); }, {}, "sync failed"},
      {"listing failed", FsOp::kList, 2, [](auto&) { throw EInOutError("listing failed"); }, {}, "listing failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Book b;
    std::atomic<int> seen{0};
    b.fs.before = [&](FsOp op, const std::string& path) {
      if (op == c.op && (op != FsOp::kRead || path == card) && ++seen == c.nth) c.change(b.fs);
    };
    // A reader of the archive while it is packed: what it was told final,
    // and the file then.
    GrowingFile growing;
    std::vector<std::pair<GrowingFile::Extent, std::string>> told;
    growing.Watch([&](const GrowingFile::Extent& e) { told.emplace_back(e, b.fs.Content(kArchive).value_or("")); });
    if (!c.error.empty()) {
      try {
        Pack(b.fs, kArchive, {}, kRoot, LeadBytes::Cp932(), {}, &growing);
        ADD_FAILURE() << "no error";
      } catch (const Exception& e) {
        EXPECT_NE(e.Message().find(c.error), std::string::npos) << e.Message();
      }
      ASSERT_FALSE(told.empty());
      EXPECT_TRUE(told.back().first.failed);
      continue;
    }
    const uint64_t began = b.fs.FileSystemNow(kRoot);
    const PackResult packed = Pack(b.fs, kArchive, {}, kRoot, LeadBytes::Cp932(), {}, &growing);
    EXPECT_EQ(packed.index.TakenAt(), began);
    // The bytes told final never changed afterwards, and the end is told whole.
    const std::string whole = *b.fs.Content(kArchive);
    ASSERT_GE(told.size(), 3u);
    EXPECT_TRUE(told.back().first.whole && told.back().first.final_bytes == whole.size());
    for (size_t i = 0; i < told.size(); ++i) {
      EXPECT_FALSE(told[i].first.failed);
      EXPECT_LE(told[i].first.final_bytes, told[i].second.size());
      EXPECT_TRUE(told[i].second.compare(0, told[i].first.final_bytes, whole, 0, told[i].first.final_bytes) == 0);
      if (i > 0) {
        EXPECT_GE(told[i].first.final_bytes, told[i - 1].first.final_bytes);
      }
    }
    ReadBack archive(*b.fs.Content(kArchive));
    const int entry = archive.zip.FindEntry("AddrBook/sub/b.vcf");
    const IndexedFile* indexed = packed.index.Find("AddrBook/sub/b.vcf");
    ASSERT_EQ(entry >= 0 && indexed, c.packed.has_value());
    if (!c.packed) continue;
    const FileStamp now = *b.fs.Stat(card);
    EXPECT_EQ(archive.zip.ReadEntryData(static_cast<size_t>(entry)), c.packed);
    EXPECT_EQ(archive["AddrBook/sub/b.vcf"].external_attributes, kAttrReadOnly);
    EXPECT_EQ(archive["AddrBook/sub/b.vcf"].stamp.time, At(30).time);
    EXPECT_EQ(*indexed, (IndexedFile{now.size, now.write_time, kAttrReadOnly, Crc32(*c.packed), std::nullopt}));
    EXPECT_FALSE(packed.index.TrustedCrc("AddrBook/sub/b.vcf", now.size, now.write_time));
  }
}

// What an archive cannot hold is refused by the packer with the reason: a
// book of more entries than its 16-bit count (all of them counted), and a
// card whose size its 32-bit fields cannot hold.
TEST(ZipPacker, BooksAnArchiveCannotHoldAreRefused) {
  auto refused = [](MemoryFileSystem& fs, const std::string& error) {
    try {
      Pack(fs, kArchive);
      ADD_FAILURE() << "packed";
    } catch (const EArchiveLimit& e) {
      EXPECT_EQ(e.Message(), error);
    }
  };
  MemoryFileSystem fs;
  for (int i = 0; i < 65534; ++i) fs.Put(kBook + std::to_string(i) + ".vcf", "");
  EXPECT_EQ(Pack(fs, kArchive).entries.size(), 65535u);  // the folder and 65,534 cards
  fs.Put(kBook + "more\\x.vcf", "");
  refused(fs, "The address book holds 65,537 cards and folders; an archive holds at most 65,535");
  MemoryFileSystem huge;
  huge.Put(kBook + "a.vcf", Card("Ann"));
  huge.Put(kBook + "huge.jpg", "x");
  huge.ShowSize(kBook + "huge.jpg", kMaxEntrySize + 1ull);
  refused(huge, "The card \"" + kBook + "huge.jpg\" holds 4,294,967,295 bytes; an archive holds cards of at most "
                "4,294,967,294 bytes");
}

// A card above the size held in memory is compressed from its file in
// pieces (read again when it changes meanwhile), its data copied in pieces
// from the previous archive (proven first unless our own pack made it), and
// the archive is the one a full pack writes.
TEST(ZipPacker, LargeCardsGoInPieces) {
  std::string large;
  for (int i = 0; large.size() <= kStreamedEntrySize + kStreamPiece; ++i)
    large += "PHOTO;ENCODING=b:" + std::to_string(i * 2654435761u) + "\r\n";
  const std::string card = kBook + "large.vcf";
  const struct {
    const char* what;
    std::function<void(MemoryFileSystem&, std::string)> setup;  // given the last pack's archive
    bool archive_is_proven;
    size_t read;
  } cases[] = {
      {"ours", [](auto& fs, auto a) { fs.Put(kPrevious, a); }, true, 0},
      {"another's, proven", [](auto& fs, auto a) { fs.Put(kPrevious, a); }, false, 0},
      {"damaged data",
       [](auto& fs, auto a) {
         a[ReadBack(a)["AddrBook/large.vcf"].local_offset + 30 + 18 + 1000] ^= 0x40;
         fs.Put(kPrevious, a);
       },
       false, 1},
      {"missing", [](auto&, auto) {}, true, 2},
  };
  {
    // Saved again while the pack reads it: the entry holds what was there after.
    MemoryFileSystem fs;
    fs.Put(card, large.substr(1));
    int opened = 0;
    fs.before = [&](FsOp op, const std::string& path) {
      if (op == FsOp::kOpenStream && path == card && ++opened == 1) fs.Advance(1), fs.Put(card, large);
    };
    const PackResult packed = Pack(fs, kArchive);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(fs.Count(FsOp::kRead), 0);  // only in pieces
    ReadBack read(*fs.Content(kArchive));
    EXPECT_EQ(read.zip.ReadEntryData(static_cast<size_t>(read.zip.FindEntry("AddrBook/large.vcf"))), large);
    EXPECT_EQ(*packed.index.Find("AddrBook/large.vcf"),
              (IndexedFile{large.size(), fs.Stat(card)->write_time, kAttrArchive, Crc32(large), std::nullopt}));
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFileSystem fs;
    fs.Put(kBook + "a.vcf", Card("Ann"));
    fs.Put(card, large);
    fs.Advance(60);
    const PackResult first = Pack(fs, kArchive);
    fs.Advance(60);
    c.setup(fs, *fs.Content(kArchive));
    const PackResult again = Pack(fs, kArchive, Previous{&first.index, kPrevious, c.archive_is_proven});
    const PackResult full = Pack(fs, kRoot + "full.zip");
    EXPECT_TRUE(fs.Content(kArchive) == fs.Content(kRoot + "full.zip"));
    EXPECT_EQ(again.files_read, c.read);
    EXPECT_EQ(again.index.Text(), full.index.Text());
  }
}

#ifdef _WIN32
// Identities as the sync engine gives them, here made of the card's checksum.
std::optional<CardIdentity> IdentityOfContent(std::string_view, const IndexedFile& file) {
  return CardIdentity{0x324E, file.crc, SeenVersions::Parse("1111:5,2222:7")};
}

using n2test::ReadFileBytes;
using n2test::WriteFileBytes;

void SetModified(const std::string& path, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
  FILETIME local, utc;
  ::SystemTimeToFileTime(&st, &local);
  ::LocalFileTimeToFileTime(&local, &utc);
  ScopedHandle h(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(h && ::SetFileTime(h.Get(), nullptr, nullptr, &utc)) << path;
}

// Packs data\AddrBook into archive and writes the directory as our reader
// sees it beside it, for the check with other tools.
// The archives for the check with other tools carry identities in their extra fields.
PackResult PackWithManifest(TWinFileSystem& fs, const std::string& data, const std::string& archive,
                            std::optional<Previous> previous = {}) {
  PackResult packed = Pack(fs, archive, std::move(previous), data, SystemLeadBytes(), &IdentityOfContent);
  std::string text;
  char line[512];
  for (const ZipEntry& e : packed.entries) {
    snprintf(line, sizeof line, "%s|%u|%08x|%u|%u|%u\n", e.central.name.c_str(), e.central.uncompressed_size,
             e.central.crc, e.central.stamp.time, e.central.stamp.date, e.central.external_attributes);
    text += line;
  }
  WriteFileBytes(archive + ".manifest", text);
  return packed;
}

// Times and attributes as Windows shows them (the folder's time is not
// touched by the pack), data larger than the 1 MB write block, and a re-pack
// after one card changed. zip_check_our_archives checks the archives.
TEST(ZipPackerOnDisk, EntriesAsWindowsShowsThemAndArchivesForOtherTools) {
  std::string ours = std::getenv("N2_BINARY_DIR") ? std::getenv("N2_BINARY_DIR") : ".";
  if (ours.front() == '/') ours = "Z:" + ours;
  std::replace(ours.begin(), ours.end(), '/', '\\');
  ours += "\\zip_interop\\ours\\";
  ::CreateDirectoryA(ours.c_str(), nullptr);
  n2test::TempFolder root;
  const std::string data = root.Path(), book = data + "AddrBook\\";
  for (const char* folder : {"", "sub", "sub\\deep"}) ::CreateDirectoryA((book + folder).c_str(), nullptr);
  for (const char* card : {"a.vcf", "empty.vcf", "sub\\b.vcf", "sub\\deep\\c.vcf"}) WriteFileBytes(book + card, Card(card));
  WriteFileBytes(book + "empty.vcf", "");
  std::string large(3u << 19, '\0');  // does not compress
  uint32_t x = 2026;
  for (char& c : large) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  WriteFileBytes(book + "large.bin", large);
  for (const char* card : {"empty.vcf", "large.bin", "sub\\b.vcf"}) SetModified(book + card, 2020, 5, 6, 7, 8, 10);
  SetModified(book + "a.vcf", 2001, 2, 3, 4, 5, 6);
  SetModified(book + "sub\\deep\\c.vcf", 1975, 6, 1, 12, 0, 0);  // before 1980: no DOS time
  SetModified(data + "AddrBook", 2001, 2, 3, 4, 5, 8);
  ::SetFileAttributesA((book + "a.vcf").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);

  TWinFileSystem fs;
  const PackResult first = PackWithManifest(fs, data, ours + "book.zip");
  ReadBack read(ReadFileBytes(ours + "book.zip"));
  EXPECT_EQ(read.zip.Entries().size(), 8u);
  EXPECT_EQ(read.zip.ReadEntryData(static_cast<size_t>(read.zip.FindEntry("AddrBook/large.bin"))), large);
  const DosStamp folder = EncodeDosStamp({2001, 2, 3, 4, 5, 8}), a = EncodeDosStamp({2001, 2, 3, 4, 5, 6});
  EXPECT_TRUE(read["AddrBook/"].stamp.time == folder.time && read["AddrBook/"].stamp.date == folder.date);
  EXPECT_TRUE(read["AddrBook/a.vcf"].stamp.time == a.time && read["AddrBook/a.vcf"].stamp.date == a.date);
  EXPECT_EQ(read["AddrBook/sub/deep/c.vcf"].stamp.date, 0);
  EXPECT_EQ(read["AddrBook/a.vcf"].external_attributes, ::GetFileAttributesA((book + "a.vcf").c_str()));
  EXPECT_EQ(IdentityInExtraField(read["AddrBook/a.vcf"].extra), (CardIdentity{0x324E, read["AddrBook/a.vcf"].crc}));
  for (const char* card : {"AddrBook/a.vcf", "AddrBook/large.bin"})
    EXPECT_EQ(IdentityInExtraField(read[card].extra)->over->Text(), "1111:5,2222:7") << card;
  EXPECT_EQ(IdentityInExtraField(read["AddrBook/"].extra), std::nullopt);

  // Another program writes the changed card and lets others read it: it is read all the same.
  WriteFileBytes(book + "sub\\b.vcf", Card("Bob, changed"));
  ScopedHandle writer(::CreateFileA((book + "sub\\b.vcf").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  const PackResult again =
      PackWithManifest(fs, data, ours + "repacked.zip", Previous{&first.index, ours + "book.zip", true});
  EXPECT_EQ(again.files_read, 1u);
  Pack(fs, data + "full.zip", {}, data, SystemLeadBytes(), &IdentityOfContent);
  EXPECT_TRUE(ReadFileBytes(ours + "repacked.zip") == ReadFileBytes(data + "full.zip"));
  n2test::TempFolder none;  // no address book: the end record alone
  PackWithManifest(fs, none.Path(), ours + "empty.zip");
  EXPECT_EQ(ReadFileBytes(ours + "empty.zip"), EncodeEndRecord(EndRecord{}));
}


// A card of 48 MB is packed, copied from the previous archive (proven by
// decoding it) and unpacked with a few megabytes of memory, not its size.
TEST(ZipPackerOnDisk, ALargeCardTakesPiecesOfMemoryNotItsSize) {
  n2test::TempFolder root;
  const std::string data = root.Path(), book = data + "AddrBook\\", archive = data + "N2AddBook.zip";
  ::CreateDirectoryA(book.c_str(), nullptr);
  std::string large(48u << 20, '\0');  // compresses to about half
  uint32_t x = 48;
  for (char& c : large) c = static_cast<char>('a' + ((x = x * 1103515245u + 12345u) >> 28));
  WriteFileBytes(book + "large.vcf", large);
  WriteFileBytes(book + "a.vcf", Card("Ann"));
  TWinFileSystem fs;
  std::optional<PackResult> first, again;
  const int64_t packing = heap::PeakDuring([&] { first = Pack(fs, archive, {}, data, SystemLeadBytes()); });
  SetModified(book + "large.vcf", 2020, 5, 6, 7, 8, 10);  // older than the index: vouched for
  SetModified(book + "a.vcf", 2020, 5, 6, 7, 8, 10);
  first = Pack(fs, archive, {}, data, SystemLeadBytes());
  const int64_t copying = heap::PeakDuring([&] {
    again = Pack(fs, data + "again.zip", Previous{&first->index, archive, false}, data,
                 SystemLeadBytes());
  });
  EXPECT_EQ(again->files_read, 0u);
  EXPECT_TRUE(ReadFileBytes(data + "again.zip") == ReadFileBytes(archive));
  n2test::TempFolder into;
  const int64_t unpacking = heap::PeakDuring([&] {
    std::unique_ptr<FileStream> stream = fs.OpenStream(archive);
    ZipArchive zip(SystemLeadBytes());
    ASSERT_TRUE(zip.Read(*stream));
    ExtractRequest request;
    request.fs = &fs;
    request.lead = &SystemLeadBytes();
    request.archive = &zip;
    request.target = into.Path();
    request.temporary_folder = into.Path() + "~N2Unpack.tmp\\";
    EXPECT_EQ(ExtractArchive(request).written, 2u);
  });
  EXPECT_TRUE(ReadFileBytes(into / "AddrBook\\large.vcf") == large);
  for (const int64_t peak : {packing, copying, unpacking}) EXPECT_LT(peak, 12 << 20);
  std::printf("heap peak: packing %lld KB, copying %lld KB, unpacking %lld KB\n", static_cast<long long>(packing >> 10),
              static_cast<long long>(copying >> 10), static_cast<long long>(unpacking >> 10));
}

#endif

}  // namespace
}  // namespace n2
