// Extraction over a book that already holds an earlier state of it: on the
// file system in memory every outcome, the index and the journal, cards that
// change or fail while the others go on, a crash at every operation, and a
// journal that refuses; under Wine real folders, a card another program holds
// open, and the archives of other tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>

#include "tests/support/memory_file_system.h"
#include "zip/zip_codec.h"
#include "zip/zip_extractor.h"

#ifdef _WIN32
#include "base/system_code_page.h"
#include "base/win_file_system.h"
#include "tests/support/test_support.h"
#endif

namespace n2 {
namespace {

using n2test::FsOp;
using TA = TExtractAction;
using TO = TCardOutcome;

const std::string kData = "C:\\Data\\";
const std::string kBook = kData + "AddrBook\\";
const std::string kTemp = kData + "~N2Unpack.tmp\\";
const std::string kConflicts = kData + "N2Conflicts\\";

struct Entry {
  std::string name;
  uint32_t attributes;
  std::string data;
};

std::string BuildArchive(const std::vector<Entry>& entries) {
  MemoryStream m(EncodeEndRecord(EndRecord{}));
  ZipArchive zip{LeadBytes::Cp932()};
  zip.Read(m);
  zip.BeginBatch();
  for (const Entry& e : entries) zip.AddStreamEntry(e.name, e.attributes, e.data, {}, 9);
  zip.EndBatch();
  return m.Bytes();
}

// One extraction over a book in memory, with what it told the caller.
struct Extraction {
  n2test::MemoryFileSystem fs;
  FileIndex index{LeadBytes::Cp932()};
  MemoryStream stream;
  ZipArchive archive{LeadBytes::Cp932()};
  ExtractRequest request;
  std::vector<CardResult> settled;
  std::vector<CardPlan> journal;

  explicit Extraction(std::string bytes) : stream(std::move(bytes)) {
    archive.Read(stream);
    request.fs = &fs;
    request.lead = &LeadBytes::Cp932();
    request.archive = &archive;
    request.target = kData;
    request.temporary_folder = kTemp;
    request.index = &index;
    request.before_commit = [this](const std::vector<CardPlan>& plans) {
      journal.insert(journal.end(), plans.begin(), plans.end());
    };
    request.settled = [this](const CardResult& r) { settled.push_back(r); };
  }
  ExtractResult Run() { return ExtractArchive(request); }
};

// What happens to a card besides the extraction. kChanged, kCreated and
// kDeleted happen after the cards were looked at, before any is put in place.
enum class Fault { kNone, kHeld, kUnreadable, kDamaged, kCopyBlocked, kFolderInWay, kFullDisk, kChanged, kCreated,
                   kDeleted };

struct Row {
  std::string name;   // below AddrBook
  const char* local;  // nullptr: none
  uint32_t local_attributes;
  bool indexed;  // the index vouches for the local file
  std::string entry;
  uint32_t entry_attributes;
  TA action;
  bool replace_read_only;
  Fault fault;
  TO want;
};

const std::string A = "BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n", B = "BEGIN:VCARD\r\nFN:Bob\r\nEND:VCARD\r\n";
const std::string kEdit = "edited by the user meanwhile";
// A card too large to be held in memory whole.
std::string Large(char tag) {
  std::string card = "BEGIN:VCARD\r\nPHOTO;ENCODING=b:";
  for (uint32_t i = 0; card.size() <= kStreamedEntrySize; ++i) card += std::to_string(i * 2654435761u) + tag;
  return card + "\r\nEND:VCARD\r\n";
}
constexpr uint32_t kArc = kAttrArchive, kRO = kAttrReadOnly, kHid = kAttrHidden;
// 表 and ソフト開発 in code page 932: the second bytes of 表 and ソ are 0x5C.
const std::string kHyo = "\x95\x5C", kSoftware = "\x83\x5C\x83\x74\x83\x67\x8A\x4A\x94\xAD";

TEST(ZipExtractor, OutcomesIndexAndJournalWithCardsThatChangeOrFailAlone) {
  const std::string large_local = Large('l');
  const std::vector<Row> rows = {
      {"new.vcf", nullptr, 0, false, A, kArc | kHid, TA::kWrite, false, Fault::kNone, TO::kWritten},
      {"sub/deep.vcf", nullptr, 0, false, A, kArc, TA::kWrite, false, Fault::kNone, TO::kWritten},
      {"same.vcf", A.c_str(), kArc, true, A, kArc, TA::kWrite, false, Fault::kNone, TO::kUnchanged},
      {"same_read.vcf", A.c_str(), kArc, false, A, kArc, TA::kWrite, false, Fault::kNone, TO::kUnchanged},
      {"attributes.vcf", A.c_str(), kArc, true, A, kArc | kRO | kHid, TA::kWrite, false, Fault::kNone, TO::kUnchanged},
      {"ro_same.vcf", A.c_str(), kArc | kRO, true, A, kArc, TA::kWrite, false, Fault::kNone, TO::kUnchanged},
      {"changed.vcf", A.c_str(), kArc, false, B, kArc, TA::kWrite, false, Fault::kNone, TO::kWritten},
      {"ro.vcf", A.c_str(), kArc | kRO, false, B, kArc, TA::kWrite, false, Fault::kNone, TO::kFailed},
      {"ro_allowed.vcf", A.c_str(), kArc | kRO, false, B, kArc, TA::kWrite, true, Fault::kNone, TO::kWritten},
      {"keep.vcf", A.c_str(), kArc, false, B, kArc, TA::kKeep, false, Fault::kNone, TO::kKept},
      {"copy.vcf", A.c_str(), kArc, false, B, kArc | kHid, TA::kSaveServerCopy, false, Fault::kNone, TO::kCopied},
      {"saving.vcf", A.c_str(), kArc | kHid, false, B, kArc, TA::kWriteSavingLocal, false, Fault::kNone,
       TO::kWrittenSavingLocal},
      {"saving_new.vcf", nullptr, 0, false, B, kArc, TA::kWriteSavingLocal, false, Fault::kNone, TO::kWritten},
      {"held.vcf", A.c_str(), kArc, false, B, kArc, TA::kWrite, false, Fault::kHeld, TO::kFailed},
      {"unreadable.vcf", A.c_str(), kArc, false, B, kArc, TA::kWrite, false, Fault::kUnreadable, TO::kFailed},
      {"damaged.vcf", A.c_str(), kArc, false, B, kArc, TA::kWrite, false, Fault::kDamaged, TO::kFailed},
      {"blocked.vcf", A.c_str(), kArc, false, B, kArc, TA::kSaveServerCopy, false, Fault::kCopyBlocked, TO::kFailed},
      {"folder.vcf", nullptr, 0, false, B, kArc, TA::kWrite, false, Fault::kFolderInWay, TO::kFailed},
      // Larger than the disk's free space: refused before it is decoded.
      {"big.vcf", A.c_str(), kArc, false, std::string(16u << 20, 'x'), kArc, TA::kWrite, false, Fault::kFullDisk,
       TO::kFailed},
      // Decoded in pieces; the damaged one fails once its checksum is known.
      {"large.vcf", A.c_str(), kArc, false, Large('L'), kArc | kHid, TA::kWrite, false, Fault::kNone, TO::kWritten},
      {"large_damaged.vcf", nullptr, 0, false, Large('D'), kArc, TA::kWrite, false, Fault::kDamaged, TO::kFailed},
      {"large_saving.vcf", large_local.c_str(), kArc, false, Large('S'), kArc, TA::kWriteSavingLocal, false,
       Fault::kNone, TO::kWrittenSavingLocal},
      {"edited.vcf", A.c_str(), kArc, false, B, kArc, TA::kWrite, false, Fault::kChanged, TO::kChangedMeanwhile},
      {"appeared.vcf", nullptr, 0, false, B, kArc, TA::kWrite, false, Fault::kCreated, TO::kChangedMeanwhile},
      {"gone.vcf", A.c_str(), kArc, false, B, kArc, TA::kWrite, false, Fault::kDeleted, TO::kChangedMeanwhile},
      {"attributes_edited.vcf", A.c_str(), kArc, true, A, kArc | kRO, TA::kWrite, false, Fault::kChanged,
       TO::kChangedMeanwhile},
      {"saving_edited.vcf", A.c_str(), kArc, false, B, kArc, TA::kWriteSavingLocal, false, Fault::kChanged,
       TO::kChangedMeanwhile},
      // Stored as older packers stored them (below).
      {kHyo + ".vcf", nullptr, 0, false, A, kArc, TA::kWrite, false, Fault::kNone, TO::kWritten},
      {kSoftware + "/x.vcf", nullptr, 0, false, B, kArc, TA::kWrite, false, Fault::kNone, TO::kWritten},
  };
  auto copy_path = [](const Row& row) {
    return kConflicts + (row.fault == Fault::kCopyBlocked ? "blocked\\" : "job\\") + "AddrBook\\" + row.name;
  };
  std::vector<Entry> entries = {{"AddrBook/", kAttrFolder, ""}, {"AddrBook/made/", kAttrFolder, ""},
                                {"../evil.vcf", kArc, "evil"}, {"AddrBook/sub/../../../evil.vcf", kArc, "evil"},
                                {"Other/out.vcf", kArc, "outside"}, {"AddrBook/ou\x87\x87\x87:s.vcf", kArc, "stream"},
                                {"AddrBook/" + kSoftware + "/", kAttrFolder, ""}};
  for (const Row& row : rows) entries.push_back({"AddrBook/" + row.name, row.entry_attributes, row.entry});
  entries.push_back({"AddrBook/du1.vcf", kArc, "first"});
  entries.push_back({"AddrBook/du2.vcf", kArc, "second"});
  std::string bytes = BuildArchive(entries);
  // Two entries of one name: the second wins. Damaged data: a bit of the deflate stream flipped.
  bytes.replace(bytes.find("du2.vcf"), 7, "du1.vcf");
  bytes.replace(bytes.rfind("du2.vcf"), 7, "du1.vcf");
  bytes[bytes.find("AddrBook/damaged.vcf") + 21] ^= 0x40;
  bytes[bytes.find("AddrBook/large_damaged.vcf") + 27 + 200000] ^= 0x40;
  // Older packers wrote every byte 0x5C of a name as "/", second bytes too.
  for (const std::string& ours : {"AddrBook/" + kHyo, "AddrBook/" + kSoftware.substr(0, 2)})
    for (size_t at = 0; (at = bytes.find(ours, at)) != std::string::npos; at += ours.size()) bytes[at + 10] = '/';

  Extraction x(bytes);
  x.request.only_below = "addrbook/";
  x.fs.PutFolder(kBook);
  x.fs.Put(kConflicts + "blocked", "a file where the copy's folder would be");
  for (const Row& row : rows) {
    const std::string path = kBook + row.name;
    if (row.local) x.fs.Put(path, row.local, row.local_attributes);
    if (row.indexed) x.index.Set("AddrBook/" + row.name, {A.size(), x.fs.Now(), row.local_attributes, Crc32(A)});
    if (row.fault == Fault::kHeld || row.fault == Fault::kUnreadable) x.fs.Hold(path, row.fault == Fault::kUnreadable);
    if (row.fault == Fault::kFolderInWay) x.fs.PutFolder(path);
  }
  const uint64_t before = x.fs.Now();
  x.fs.Advance(10);
  x.index.SetTakenAt(x.fs.Now());
  x.fs.Advance(10);
  uint64_t used = 0;
  for (const auto& [name, content] : x.fs.Tree(kData)) used += content.size();
  x.fs.SetFreeSpace(used + (14u << 20));

  x.request.decide = [&](const ZipEntry&, std::string_view name, const LocalFile&) {
    for (const Row& row : rows)
      if ("AddrBook/" + row.name == name) return TExtractChoice{row.action, row.replace_read_only, copy_path(row)};
    return TExtractChoice{};
  };
  std::mutex mutex;
  std::set<std::string> read;
  // Files written other than as temporary files, and changes to the book before the journal heard of them.
  std::vector<std::string> unsafe;
  std::atomic<bool> meanwhile{false};
  x.fs.before = [&](FsOp op, const std::string& path) {
    std::lock_guard lock(mutex);
    if (op == FsOp::kRead) read.insert(path);
    const bool in_temporary = path.rfind(kData + "~N2Unpack.tmp", 0) == 0;
    if ((op == FsOp::kWrite && !in_temporary) ||
        ((op == FsOp::kRename || op == FsOp::kSetAttributes || op == FsOp::kMakeFolder) && x.journal.empty() &&
         !in_temporary))
      unsafe.push_back(path);
    if (op != FsOp::kWrite || path.rfind(kTemp, 0) != 0 || meanwhile.exchange(true)) return;
    for (const Row& row : rows) {
      if (row.fault == Fault::kChanged || row.fault == Fault::kCreated) x.fs.Put(kBook + row.name, kEdit);
      if (row.fault == Fault::kDeleted) x.fs.Remove(kBook + row.name);
    }
  };
  const ExtractResult result = x.Run();
  x.fs.before = nullptr;

  EXPECT_EQ(unsafe, std::vector<std::string>{});
  EXPECT_EQ(x.fs.Content(kBook + "du1.vcf"), "second");
  EXPECT_TRUE(x.fs.Exists(kBook + "made"));
  EXPECT_FALSE(x.fs.Exists(kTemp));
  EXPECT_EQ(read.count(kBook + "same.vcf"), 0u);  // the index vouched for it
  EXPECT_EQ(result.skipped, 4u);
  EXPECT_EQ(x.settled.size(), entries.size() - 4);
  for (size_t i = 1; i < x.settled.size(); ++i) EXPECT_LT(x.settled[i - 1].entry, x.settled[i].entry);
  std::map<TO, size_t> want;
  want[TO::kWritten] = 2;  // du1.vcf twice
  std::map<std::string, std::string> copies = {{"job\\", ""}, {"job\\AddrBook\\", ""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = "AddrBook/" + row.name, path = kBook + row.name;
    auto r = std::find_if(x.settled.begin(), x.settled.end(), [&](auto& s) { return s.name == name; });
    ASSERT_NE(r, x.settled.end());
    EXPECT_EQ(r->outcome, row.want) << r->error;
    EXPECT_EQ(r->error.empty(), row.want != TO::kFailed) << r->error_kind;
    const bool planned = row.want == TO::kWritten || row.want == TO::kUnchanged || row.want == TO::kCopied ||
                         row.want == TO::kWrittenSavingLocal || row.want == TO::kChangedMeanwhile ||
                         row.fault == Fault::kHeld || row.fault == Fault::kCopyBlocked;
    EXPECT_EQ(std::count_if(x.journal.begin(), x.journal.end(), [&](auto& p) { return p.name == name; }),
              planned ? 1 : 0);
    const bool entry_there = row.want == TO::kWritten || row.want == TO::kWrittenSavingLocal || row.want == TO::kUnchanged;
    const std::optional<FileStamp> stamp = x.fs.Stat(path);
    if (entry_there) {
      EXPECT_EQ(x.fs.Content(path), row.entry);
      EXPECT_EQ(stamp->attributes, kArc | (row.entry_attributes & 7));
      const IndexedFile* indexed = x.index.Find(name);
      ASSERT_TRUE(indexed);
      EXPECT_EQ(*indexed, (IndexedFile{row.entry.size(), stamp->write_time, stamp->attributes, Crc32(row.entry)}));
      EXPECT_EQ(stamp->write_time, row.want == TO::kUnchanged ? before : x.fs.Now());
    } else if (row.want == TO::kChangedMeanwhile) {
      EXPECT_EQ(x.fs.Content(path), row.fault == Fault::kDeleted ? std::nullopt : std::optional(kEdit));
    } else if (row.fault != Fault::kFolderInWay) {
      EXPECT_EQ(x.fs.Content(path), row.local ? std::optional<std::string>(row.local) : std::nullopt);
      EXPECT_EQ(stamp ? stamp->attributes : 0, row.local ? row.local_attributes : 0);
    }
    if (row.want == TO::kCopied) copies["job\\AddrBook\\" + row.name] = row.entry;
    if (row.want == TO::kWrittenSavingLocal) copies["job\\AddrBook\\" + row.name] = row.local;
    if (row.want == TO::kKept) {
      EXPECT_EQ(x.index.Find(name)->crc, Crc32(A));  // read for the choice
    }
    ++want[row.want == TO::kWrittenSavingLocal ? TO::kWritten : row.want];
  }
  auto error_of = [&](const std::string& name) {
    auto r = std::find_if(x.settled.begin(), x.settled.end(), [&](auto& s) { return s.name == "AddrBook/" + name; });
    return r == x.settled.end() ? std::string() : r->error;
  };
  EXPECT_EQ(error_of("big.vcf").rfind("Cannot unpack \"" + kBook + "big.vcf\". It needs 16,777,216 bytes, and the "
                                      "disk has 14,6", 0), 0u) << error_of("big.vcf");
  EXPECT_NE(error_of("large_damaged.vcf").find("large_damaged.vcf"), std::string::npos);
  copies["blocked"] = "a file where the copy's folder would be";
  EXPECT_EQ(x.fs.Tree(kConflicts), copies);
  EXPECT_EQ((std::vector<size_t>{result.written, result.unchanged, result.kept, result.copies,
                                 result.changed_meanwhile, result.failures.size(), result.changed_attributes}),
            (std::vector<size_t>{want[TO::kWritten], want[TO::kUnchanged], want[TO::kKept], want[TO::kCopied],
                                 want[TO::kChangedMeanwhile], want[TO::kFailed], 2}));
  for (const char* outside : {"C:\\evil.vcf", "C:\\Data\\evil.vcf", "C:\\Data\\Other"}) EXPECT_FALSE(x.fs.Exists(outside));
  EXPECT_EQ(x.index.TakenAt(), x.fs.Now());
}

// A power loss at any operation leaves every card with its old or its new
// bytes, and nothing behind that the next extraction does not clear up.
TEST(ZipExtractor, CrashAtEveryOperationLeavesOldOrNewCards) {
  const std::string bytes = BuildArchive({{"AddrBook/", kAttrFolder, ""}, {"AddrBook/made/", kAttrFolder, ""},
                                          {"AddrBook/made/new.vcf", kArc, A}, {"AddrBook/replaced.vcf", kArc, B},
                                          {"AddrBook/saved.vcf", kArc, B}, {"AddrBook/attributes.vcf", kArc | kRO, A}});
  const std::map<std::string, std::string> old = {{"replaced.vcf", A}, {"saved.vcf", A}, {"attributes.vcf", A}},
                                           fresh = {{"made\\", ""}, {"made\\new.vcf", A}, {"replaced.vcf", B},
                                                    {"saved.vcf", B}, {"attributes.vcf", A}};
  int run = 0;
  auto extract = [&](Extraction& x, bool keep_all = false) {
    x.request.decide = [&, keep_all](const ZipEntry& entry, std::string_view name, const LocalFile& local) {
      const bool conflict = name == "AddrBook/saved.vcf" && local.exists && local.Crc() != entry.central.crc;
      return TExtractChoice{keep_all ? TA::kKeep : conflict ? TA::kWriteSavingLocal : TA::kWrite, false,
                            kConflicts + std::to_string(++run) + "\\saved.vcf"};
    };
    x.Run();
  };
  int operations = 0;
  for (int crash_at = 1;; ++crash_at) {
    SCOPED_TRACE(crash_at);
    Extraction x(bytes);
    for (const auto& [name, content] : old) x.fs.Put(kBook + name, content);
    std::atomic<int> count{0};
    x.fs.before = [&](FsOp, const std::string&) {
      if (++count == crash_at) throw n2test::Crash{};
    };
    try {
      extract(x);
      operations = count;
      break;
    } catch (const n2test::Crash&) {
    }
    x.fs.before = nullptr;
    const std::map<std::string, std::string> book = x.fs.Tree(kBook);
    for (const auto& [name, content] : old) EXPECT_TRUE(book.count(name)) << name;
    for (const auto& [name, content] : book) {
      EXPECT_TRUE(fresh.count(name)) << name;
      EXPECT_TRUE((old.count(name) && old.at(name) == content) || fresh.at(name) == content) << name;
    }
    extract(x, true);  // puts nothing in place, and finds what the crash left
    EXPECT_FALSE(x.fs.Exists(kTemp));
    extract(x);
    EXPECT_EQ(x.fs.Tree(kBook), fresh);
    for (const auto& [name, content] : x.fs.Tree(kConflicts))
      EXPECT_TRUE(content.empty() ? name.back() == '\\' : content == A) << name;
    EXPECT_FALSE(x.fs.Exists(kTemp));
  }
  EXPECT_GT(operations, 15);
}

// A journal that cannot be written ends the extraction before its window:
// earlier windows stay applied, nothing of that one is.
TEST(ZipExtractor, JournalErrorLeavesItsWindowUntouched) {
  std::vector<Entry> entries;
  for (int i = 0; i < 300; ++i) entries.push_back({"AddrBook/c" + std::to_string(i) + ".vcf", kArc, B});
  Extraction x(BuildArchive(entries));
  for (int i = 0; i < 300; ++i) x.fs.Put(kBook + "c" + std::to_string(i) + ".vcf", A);
  x.request.before_commit = [&](const std::vector<CardPlan>& plans) {
    if (plans.front().entry > 0) throw EWriteError("Write error. There is not enough space on the disk");
  };
  EXPECT_THROW(x.Run(), EWriteError);
  EXPECT_EQ(x.settled.size(), 256u);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(x.fs.Content(kBook + "c" + std::to_string(i) + ".vcf"), i < 256 ? B : A) << i;
  EXPECT_FALSE(x.fs.Exists(kTemp));
}

#ifdef _WIN32
// Another Windows program holding a file open without sharing it, until it goes.
class HeldByAnotherProgram {
 public:
  explicit HeldByAnotherProgram(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in_read, out_write;
    ::CreatePipe(&in_read, &in_, &inherit, 0);
    ::CreatePipe(&out_, &out_write, &inherit, 0);
    ::SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = startup.hStdError = out_write;
    std::string line = "\"" + n2test::ExecutableFolder() + "hold_file.exe\" \"" + path + "\"";
    ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process_);
    ::CloseHandle(in_read);
    ::CloseHandle(out_write);
    char said[64] = {};
    DWORD got = 0;
    ::ReadFile(out_, said, sizeof said - 1, &got, nullptr);
    EXPECT_EQ(std::string(said).rfind("held", 0), 0u) << said;
  }
  ~HeldByAnotherProgram() {
    DWORD put = 0;
    ::WriteFile(in_, "\n", 1, &put, nullptr);
    ::WaitForSingleObject(process_.hProcess, 10000);
    for (HANDLE h : {in_, out_, process_.hProcess, process_.hThread}) ::CloseHandle(h);
  }

 private:
  HANDLE in_ = nullptr, out_ = nullptr;
  PROCESS_INFORMATION process_{};
};

ExtractResult ExtractOnDisk(const std::string& archive, const std::string& target, bool replace_read_only = false) {
  TWinFileSystem fs;
  std::unique_ptr<FileStream> stream = fs.OpenStream(archive);
  ZipArchive zip(SystemLeadBytes());
  EXPECT_TRUE(zip.Read(*stream));
  ExtractRequest request;
  request.fs = &fs;
  request.lead = &SystemLeadBytes();
  request.archive = &zip;
  request.target = target;
  request.temporary_folder = target + "~N2Unpack.tmp\\";
  request.decide = [&](const ZipEntry&, std::string_view, const LocalFile&) {
    return TExtractChoice{TA::kWrite, replace_read_only, ""};
  };
  ExtractResult result = ExtractArchive(request);
  EXPECT_FALSE(n2test::PathExists(request.temporary_folder));
  return result;
}

TEST(ZipExtractorWin, RealFoldersHeldCardsAndArchivesOfOtherTools) {
  using n2test::ReadFileBytes;
  n2test::TempFolder t;
  const std::string book = t / "AddrBook\\", archive = t / "N2AddBook.zip";
  auto attributes = [&](const char* name) { return ::GetFileAttributesA((book + name).c_str()); };
  n2test::WriteFileBytes(archive, BuildArchive({{"AddrBook/", kAttrFolder, ""}, {"AddrBook/a.vcf", kArc | kHid | kRO, A},
                                                {"AddrBook/b.vcf", kAttrSystem, B}, {"AddrBook/c.vcf", kArc, B}}));
  ::CreateDirectoryA(book.c_str(), nullptr);
  n2test::WriteFileBytes(book + "c.vcf", A);
  {
    HeldByAnotherProgram held(book + "c.vcf");
    const ExtractResult result = ExtractOnDisk(archive, t.Path());
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(result.failures[0].name, "AddrBook/c.vcf");
    EXPECT_EQ(result.written, 2u);
  }
  EXPECT_EQ(ReadFileBytes(book + "c.vcf"), A);
  EXPECT_EQ(attributes("a.vcf"), DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY});
  EXPECT_EQ(attributes("b.vcf"), DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM});
  WIN32_FILE_ATTRIBUTE_DATA before{}, after{};
  ::GetFileAttributesExA((book + "a.vcf").c_str(), GetFileExInfoStandard, &before);
  const ExtractResult again = ExtractOnDisk(archive, t.Path());
  EXPECT_EQ(again.written + again.unchanged, 3u);
  EXPECT_EQ(ReadFileBytes(book + "c.vcf"), B);
  ::GetFileAttributesExA((book + "a.vcf").c_str(), GetFileExInfoStandard, &after);
  EXPECT_EQ(::CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0);  // left alone
  // A read-only card is replaced only when the choice allows it.
  n2test::WriteFileBytes(archive, BuildArchive({{"AddrBook/a.vcf", kArc, B}}));
  EXPECT_EQ(ExtractOnDisk(archive, t.Path()).failures.size(), 1u);
  EXPECT_EQ(ExtractOnDisk(archive, t.Path(), true).written, 1u);
  EXPECT_EQ(ReadFileBytes(book + "a.vcf"), B);
  EXPECT_EQ(attributes("a.vcf"), DWORD{FILE_ATTRIBUTE_ARCHIVE});

  const char* binary = std::getenv("N2_BINARY_DIR");
  const std::string interop = "Z:" + ReplaceChar(binary ? binary : "", '/', '\\', LeadBytes()) + "\\zip_interop\\";
  for (const char* name : {"infozip_stored.zip", "infozip_deflated.zip", "infozip_bzip2.zip", "7zip_deflate.zip",
                           "7zip_bzip2.zip", "python_stored.zip", "python_deflated.zip", "python_bzip2.zip"}) {
    SCOPED_TRACE(name);
    n2test::TempFolder into;
    EXPECT_EQ(ExtractOnDisk(interop + "ref\\" + name, into.Path()).failures.size(), 0u);
    for (const char* card : {"card0.vcf", "card4.vcf", "empty.vcf", "random.bin", "sub\\s.vcf", "sub\\deeper\\d.vcf"})
      EXPECT_EQ(ReadFileBytes(into / "AddrBook\\" + card), ReadFileBytes(interop + "src\\AddrBook\\" + card)) << card;
  }
  n2test::TempFolder into;
  const ExtractResult encrypted = ExtractOnDisk(interop + "ref\\encrypted.zip.bin", into.Path());
  ASSERT_EQ(encrypted.failures.size(), 1u);
  EXPECT_EQ(encrypted.failures[0].error, "Cannot process this file: AddrBook/card0.vcf ");
  EXPECT_FALSE(n2test::PathExists(into / "AddrBook\\card0.vcf"));
}
#endif

}  // namespace
}  // namespace n2
