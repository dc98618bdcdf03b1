// The sync engine natively: installations of an office, each a data folder on
// a file system in memory, sharing one book through a server in memory whose
// transport fails on demand (refused, missing, cut, failing at each step).
// Every case ends by checking that no edit was lost: each card holds the
// version its last author wrote, in every book and on the server.
#include <gtest/gtest.h>

#include <atomic>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/thread_cache.h"
#include "state/saved_state.h"
#include "sync/sync_engine.h"
#include "tests/support/memory_file_system.h"
#include "zip/zip_archive.h"

namespace n2 {
namespace {

using n2test::FsOp;
using n2test::MemoryFileSystem;

const LeadBytes& kLead = LeadBytes::Cp932();
using Book = std::map<std::string, std::string>;  // card file name -> content

// The server: its archive's bytes, or none, and what it tells of them (a
// number that changes with every archive stored), unless it tells nothing.
struct Server {
  std::optional<std::string> archive;
  std::vector<std::string> calls;  // "fetch", "send", "clear"
  int version = 0;
  bool tells_versions = true;
  // Puts an archive in place once it arrived, after checking that the one
  // there is still the one the book was merged with (as over FTP); else
  // (as over HTTP) it replaces whatever is there.
  bool checks_before_replacing = false;
  int transfers = 0;  // fetches that moved the archive
};

// A transport to the server. Each fault applies to the next call of its kind.
class ScriptedTransport : public TTransport {
 public:
  enum Fault { kNone, kRefused, kCut, kFailOnWay };
  ScriptedTransport(Server& server, TFileSystem& fs) : server_(server), fs_(fs) {}

  Fault fetch_fault = kNone, send_fault = kNone, clear_fault = kNone;
  // Runs right after the fetch (or the server's answer that its archive is
  // unchanged): another installation at work meanwhile.
  std::function<void()> after_fetch;

  TFetchResult Fetch(const std::string& local_path, const std::string& known, std::string& validator) override {
    server_.calls.push_back("fetch");
    validator = server_.tells_versions && server_.archive ? std::to_string(server_.version) : "";
    if (!validator.empty() && known == validator && fetch_fault == kNone) {
      if (after_fetch) std::exchange(after_fetch, nullptr)();
      return TFetchResult::kUnchanged;
    }
    switch (std::exchange(fetch_fault, kNone)) {
      case kRefused: throw Exception("Ftp Download Error! 550 N2AddBook.zip: Permission denied");
      case kFailOnWay: throw Exception("Ftp Download Error! 426 Connection closed; transfer aborted");
      case kCut:
        fs_.WriteFile(local_path, server_.archive->substr(0, server_.archive->size() / 2), kAttrNormal, false, false);
        return TFetchResult::kGot;
      case kNone: break;
    }
    if (!server_.archive) return TFetchResult::kNone;
    fs_.WriteFile(local_path, *server_.archive, kAttrNormal, false, false);
    received_ += server_.archive->size();
    ++server_.transfers;
    if (after_fetch) std::exchange(after_fetch, nullptr)();
    return TFetchResult::kGot;
  }
  std::optional<std::string> Send(const std::string& local_path, const std::string&,
                                  const std::string& expected) override {
    server_.calls.push_back("send");
    if (std::exchange(send_fault, kNone) != kNone) throw Exception("Ftp Upload Error! 552 Quota exceeded");
    const std::string there = server_.tells_versions && server_.archive ? std::to_string(server_.version) : "";
    if (server_.checks_before_replacing && !expected.empty() && expected != there) return std::nullopt;
    server_.archive = fs_.ReadFile(local_path);
    ++server_.version;
    sent_ += server_.archive->size();
    return server_.tells_versions ? std::to_string(server_.version) : "";
  }
  void Clear() override {
    server_.calls.push_back("clear");
    if (std::exchange(clear_fault, kNone) != kNone) throw Exception("Ftp Delete Error! 550 Permission denied");
    server_.archive.reset();
    ++server_.version;
  }
  void Close() noexcept override {}

 private:
  Server& server_;
  TFileSystem& fs_;
};

// One installation: a data folder on the office's file system.
class Installation {
 public:
  Installation(MemoryFileSystem& fs, Server& server, std::string folder)
      : fs_(fs), folder_("C:\\" + folder + "\\"), transport_(server, fs) {
    fs_.PutFolder(folder_ + "AddrBook");
  }

  ScriptedTransport& Transport() { return transport_; }
  const std::string& Folder() const { return folder_; }
  std::string CardPath(const std::string& card) const { return folder_ + "AddrBook\\" + card; }

  void Edit(const std::string& card, const std::string& content) {
    fs_.Advance(3);  // past the index's two seconds
    fs_.Put(CardPath(card), content);
  }
  Book Cards() const {
    Book book;
    for (const auto& [name, content] : fs_.Tree(folder_ + "AddrBook"))
      if (name.empty() || name.back() != '\\') book[name] = content;
    return book;
  }
  // Conflict copies: card name -> content, from every job's folder.
  Book Conflicts() const {
    Book copies;
    for (const auto& [name, content] : fs_.Tree(folder_ + "N2Conflicts")) {
      const size_t cut = name.find("AddrBook\\");
      if (cut != std::string::npos && name.back() != '\\') copies[name.substr(cut + 9)] = content;
    }
    return copies;
  }

  TJobReport Upload(bool by_hand = false) { return Engine().Upload(by_hand); }
  // The download every 10 minutes; Fetch() fetches whole, as at start or by hand.
  TJobReport Download() { return Engine().Download(true); }
  TJobReport Fetch() { return Engine().Download(false); }
  TJobReport Clear() { return Engine().Clear(); }
  std::string server = "ftp://server /book/";
  // Whether the engine may wait between fetches, and how often it did.
  bool waits = false;
  int waited = 0;

 private:
  TSyncEngine Engine() {
    fs_.Advance(3);
    TSyncRequest request;
    request.fs = &fs_;
    request.lead = &kLead;
    request.data_folder = folder_;
    request.server = server;
    request.transport = &transport_;
    request.threads = &threads_;
    if (waits) request.wait = [this](int) { ++waited; };
    return TSyncEngine(request);
  }

  MemoryFileSystem& fs_;
  const std::string folder_;
  ScriptedTransport transport_;
  // Kept from job to job, as by the plug-in.
  ThreadCache threads_;
};

// The cards of the server's archive.
Book ServerCards(const Server& server) {
  Book book;
  if (!server.archive || server.archive->empty()) return book;
  MemoryStream stream(*server.archive);
  ZipArchive archive(kLead);
  EXPECT_TRUE(archive.Read(stream));
  for (size_t i = 0; i < archive.Entries().size(); ++i) {
    const std::string name = NormalizeEntryName(archive.Entries()[i].central.name, kLead);
    if (name.back() == '/' || name.rfind("AddrBook/", 0) != 0) continue;
    book[name.substr(9)] = *archive.ReadEntryData(i);
  }
  return book;
}

// A download that ran to its end, or found the server's book the one agreed.
bool Took(const TJobReport& report) {
  return report.result == TJobResult::kDone || report.result == TJobResult::kUnchanged;
}

std::string ErrorOf(const TJobReport& report) {
  if (!report.error) return "";
  try {
    std::rethrow_exception(report.error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

class Office : public ::testing::Test {
 protected:
  MemoryFileSystem fs;
  Server server;
  Installation a{fs, server, "A"}, b{fs, server, "B"};

  // A and B share a book of three cards.
  void InStep() {
    a.Edit("1.vcf", "one");
    a.Edit("2.vcf", "two");
    a.Edit("3.vcf", "three");
    ASSERT_EQ(a.Upload(true).result, TJobResult::kDone);
    ASSERT_TRUE(Took(b.Download()));
    ASSERT_EQ(b.Cards(), a.Cards());
  }
  // Every book and the server hold expected, whatever else they hold.
  void ExpectEverywhere(const Book& expected) {
    for (const Book& book : {a.Cards(), b.Cards(), ServerCards(server)})
      for (const auto& [card, content] : expected) {
        auto it = book.find(card);
        EXPECT_TRUE(it != book.end() && it->second == content) << card << " should be " << content;
      }
  }
};

TEST_F(Office, ARefusalIsNeverTakenForAMissingBook) {
  InStep();
  // B's download is refused once: a failed job, nothing changed, nothing agreed.
  b.Transport().fetch_fault = ScriptedTransport::kRefused;
  const TJobReport refused = b.Download();
  EXPECT_EQ(refused.result, TJobResult::kFailed);
  EXPECT_NE(ErrorOf(refused).find("550"), std::string::npos);
  EXPECT_EQ(b.Cards(), a.Cards());
  a.Edit("2.vcf", "two by A");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(b.Upload().result, TJobResult::kNothingNew);
  EXPECT_TRUE(Took(a.Download()));
  ExpectEverywhere({{"2.vcf", "two by A"}});
  EXPECT_TRUE(b.Conflicts().empty());

  // An upload whose fetch is refused sends nothing.
  b.Edit("3.vcf", "three by B");
  b.Transport().fetch_fault = ScriptedTransport::kRefused;
  server.calls.clear();
  EXPECT_EQ(b.Upload().result, TJobResult::kFailed);
  EXPECT_EQ(server.calls, (std::vector<std::string>{"fetch"}));
  EXPECT_EQ(ServerCards(server)["3.vcf"], "three");

  // A download that finds no book changes nothing and agrees on nothing: the
  // next upload still sends B's news, and A's cards are not undone.
  const std::string before = *server.archive;
  server.archive.reset();
  ++server.version;
  EXPECT_EQ(b.Download().result, TJobResult::kNoBook);
  server.archive = before;
  ++server.version;
  EXPECT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(a.Download()));
  ExpectEverywhere({{"2.vcf", "two by A"}, {"3.vcf", "three by B"}});
  EXPECT_TRUE(b.Conflicts().empty());

  // A clear that is refused is a failed job, and the record stays.
  a.Transport().clear_fault = ScriptedTransport::kRefused;
  EXPECT_EQ(a.Clear().result, TJobResult::kFailed);
  EXPECT_TRUE(server.archive);
}

TEST_F(Office, TheRecordNeverLagsBehindTheCards) {
  InStep();
  // B's upload merges A's edit, then the server refuses B's book.
  a.Edit("1.vcf", "one, first edit");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  b.Edit("3.vcf", "three by B");
  b.Transport().send_fault = ScriptedTransport::kRefused;
  EXPECT_EQ(b.Upload().result, TJobResult::kFailed);
  EXPECT_EQ(b.Cards()["1.vcf"], "one, first edit");
  // A edits the card again; B's next round must take it, not send the older one back.
  a.Edit("1.vcf", "one, second edit");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(a.Download()));
  ExpectEverywhere({{"1.vcf", "one, second edit"}, {"3.vcf", "three by B"}});
  EXPECT_TRUE(b.Conflicts().empty());

  // A record that cannot be written fails the job; the journal lets the next
  // job record what did arrive.
  a.Edit("2.vcf", "two, A again");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  fs.before = [&](FsOp op, const std::string& path) {
    if (op == FsOp::kWrite && path.find("N2AddBook.agreed") != std::string::npos)
      throw EWriteError("Write error. There is not enough space on the disk");
  };
  const TJobReport unwritten = b.Download();
  EXPECT_EQ(unwritten.result, TJobResult::kExtractFailed);
  EXPECT_NE(ErrorOf(unwritten).find("not enough space"), std::string::npos);
  EXPECT_TRUE(fs.Exists(b.Folder() + "N2AddBook.journal"));
  fs.before = nullptr;
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_FALSE(fs.Exists(b.Folder() + "N2AddBook.journal"));
  a.Edit("2.vcf", "two, A once more");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(b.Upload().result, TJobResult::kNothingNew);
  ExpectEverywhere({{"2.vcf", "two, A once more"}});
  EXPECT_TRUE(b.Conflicts().empty());
}

TEST_F(Office, ACrashAtAnyStepLeavesNoCardCutShortAndLosesNoEdit) {
  // A and B share twelve cards. A changes them all; B's download of the
  // change (or B's upload of a card of its own, which merges the change)
  // loses its power at the n-th operation on its disk, for every n the job
  // has: from then on nothing reaches B's disk any more. A changes the cards
  // once more. Once B is back and has downloaded and uploaded, A's last
  // version of every card, and B's card, are everywhere, and no card was
  // ever cut.
  auto version = [](int card, int edit) { return std::string(100 + card, 'a' + card) + " edit " + std::to_string(edit); };
  auto office_in_step = [&](Installation& author, Installation& other) {
    for (int card = 0; card < 12; ++card) author.Edit(std::to_string(card) + ".vcf", version(card, 0));
    ASSERT_EQ(author.Upload(true).result, TJobResult::kDone);
    ASSERT_TRUE(Took(other.Download()));
    for (int card = 0; card < 12; ++card) author.Edit(std::to_string(card) + ".vcf", version(card, 1));
    ASSERT_EQ(author.Upload().result, TJobResult::kDone);
  };
  for (const bool upload : {false, true}) {
    SCOPED_TRACE(upload ? "B uploads" : "B downloads");
    const auto job = [upload](Installation& other) {
      if (upload) other.Edit("b.vcf", "B's own card");
      return upload ? other.Upload() : other.Download();
    };
    std::atomic<int> operations = 0;
    {
      MemoryFileSystem office;
      Server shared;
      Installation author(office, shared, "A"), other(office, shared, "B");
      office_in_step(author, other);
      office.before = [&](FsOp, const std::string& path) {
        if (path.rfind(other.Folder(), 0) == 0) ++operations;
      };
      ASSERT_TRUE(Took(job(other)));
    }
    ASSERT_GT(operations, 12);
    Book last;
    for (int card = 0; card < 12; ++card) last[std::to_string(card) + ".vcf"] = version(card, 2);
    if (upload) last["b.vcf"] = "B's own card";

    for (int crash_at = 1; crash_at <= operations; ++crash_at) {
      SCOPED_TRACE("power gone at operation " + std::to_string(crash_at));
      MemoryFileSystem office;
      Server shared;
      Installation author(office, shared, "A"), other(office, shared, "B");
      office_in_step(author, other);
      std::atomic<int> count = 0;
      office.before = [&](FsOp, const std::string& path) {
        if (path.rfind(other.Folder(), 0) == 0 && ++count >= crash_at) throw EInOutError("The power is gone");
      };
      job(other);
      office.before = nullptr;
      for (const auto& [card, content] : other.Cards()) {
        if (card == "b.vcf") continue;
        const int n = std::stoi(card);
        EXPECT_TRUE(content == version(n, 0) || content == version(n, 1)) << card;
      }
      for (int card = 0; card < 12; ++card) author.Edit(std::to_string(card) + ".vcf", version(card, 2));
      ASSERT_EQ(author.Upload().result, TJobResult::kDone);
      EXPECT_TRUE(Took(other.Download()));
      other.Upload();
      EXPECT_TRUE(Took(author.Download()));
      EXPECT_EQ(other.Cards(), last);
      EXPECT_EQ(author.Cards(), last);
      EXPECT_EQ(ServerCards(shared), last);
      EXPECT_TRUE(other.Conflicts().empty());
      EXPECT_EQ(office.Tree(other.Folder() + "~N2Unpack.tmp").size(), 0u);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST_F(Office, ACardSavedDuringTheJobIsNeverReplaced) {
  InStep();
  a.Edit("1.vcf", "one by A");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  // The user saves card 1 in B's book after the download listed it, right
  // before the card would be replaced.
  bool saved = false;
  fs.before = [&](FsOp op, const std::string& path) {
    if (!saved && op == FsOp::kStat && path == b.CardPath("1.vcf")) {
      saved = true;
      fs.Advance(1);
      fs.Put(b.CardPath("1.vcf"), "one by B, saved during the download");
    }
  };
  const TJobReport report = b.Download();
  fs.before = nullptr;
  ASSERT_TRUE(saved);
  EXPECT_EQ(report.changed_meanwhile, 1u);
  EXPECT_TRUE(report.upload_wanted);
  EXPECT_EQ(b.Cards()["1.vcf"], "one by B, saved during the download");
  // Nothing is lost: B's save goes to the server, A's version is kept as a conflict copy.
  EXPECT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_EQ(b.Conflicts()["1.vcf"], "one by A");
  ExpectEverywhere({{"2.vcf", "two"}});
  EXPECT_EQ(ServerCards(server)["1.vcf"], "one by B, saved during the download");
}

TEST_F(Office, ANewcomerAddsItsCardsAndRemovesNone) {
  InStep();
  // C has a card of its own and another version of card 2; its first job is
  // an upload (the user edited within the first minute).
  Installation c(fs, server, "C");
  c.Edit("mine.vcf", "C's own card");
  c.Edit("2.vcf", "two, as C had it");
  const TJobReport first = c.Upload();
  EXPECT_EQ(first.result, TJobResult::kDone);
  EXPECT_EQ(first.conflicts, 1u);
  EXPECT_EQ(c.Cards()["2.vcf"], "two");  // the office's version stays in the book
  EXPECT_EQ(c.Conflicts()["2.vcf"], "two, as C had it");
  EXPECT_EQ(ServerCards(server), (Book{{"1.vcf", "one"}, {"2.vcf", "two"}, {"3.vcf", "three"}, {"mine.vcf", "C's own card"}}));
  EXPECT_TRUE(Took(a.Download()));
  EXPECT_EQ(a.Cards()["mine.vcf"], "C's own card");

  // A record of another server is no record: the same first contact.
  b.server = "ftp://other /book/";
  b.Edit("3.vcf", "three, B's local edit");
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(b.Cards()["3.vcf"], "three");
  EXPECT_EQ(b.Conflicts()["3.vcf"], "three, B's local edit");
}

TEST_F(Office, OnlyTheBookIsUnpackedAndAttributesDoNotFlap) {
  InStep();
  // An entry outside AddrBook, where it would overwrite B's record.
  {
    MemoryStream bytes(*server.archive);
    ZipArchive hostile(kLead);
    ASSERT_TRUE(hostile.Read(bytes));
    hostile.AddStreamEntry("N2AddBook.agreed", 0x20, "garbage", DosStamp{}, 9);
    hostile.AddStreamEntry("Outside/card.vcf", 0x20, "not a card of the book", DosStamp{}, 9);
    server.archive = bytes.Bytes();
    ++server.version;
  }
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_NE(fs.Content(b.Folder() + "N2AddBook.agreed"), std::optional<std::string>("garbage"));
  EXPECT_FALSE(fs.Exists(b.Folder() + "Outside"));
  // A makes card 2 read-only, nothing else. B's upload, with news of its
  // own, merges that and sends card 2 read-only too.
  fs.SetAttributes(a.CardPath("2.vcf"), kAttrArchive | kAttrReadOnly);
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  b.Edit("3.vcf", "three by B");
  ASSERT_EQ(b.Upload().result, TJobResult::kDone);
  MemoryStream sent(*server.archive);
  ZipArchive archive(kLead);
  ASSERT_TRUE(archive.Read(sent));
  const int two = archive.FindEntry("AddrBook/2.vcf");
  ASSERT_GE(two, 0);
  EXPECT_TRUE(archive.Entries()[static_cast<size_t>(two)].central.external_attributes & kAttrReadOnly);
  ASSERT_TRUE(Took(a.Download()));

  // A conflicts folder that cannot be made fails that card alone, at every download.
  fs.Put(b.Folder() + "N2Conflicts", "a file in the way");
  a.Edit("1.vcf", "one by A");
  a.Edit("3.vcf", "three by A");
  b.Edit("1.vcf", "one by B");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  for (int round = 0; round < 2; ++round) {
    const TJobReport blocked = b.Download();
    EXPECT_EQ(blocked.result, TJobResult::kExtractFailed);
    ASSERT_EQ(blocked.failures.size(), 1u);
    EXPECT_EQ(blocked.failures[0].name, "AddrBook/1.vcf");
    EXPECT_EQ(b.Cards()["3.vcf"], "three by A");
    EXPECT_EQ(b.Cards()["1.vcf"], "one by B");
  }
  // Nor is B's card sent over A's while A's version has nowhere to go.
  EXPECT_EQ(b.Upload().result, TJobResult::kExtractFailed);
  EXPECT_EQ(ServerCards(server)["1.vcf"], "one by A");
}

// Strips the identities of an archive's entries, as a packer of the original
// design makes them.
std::string WithoutIdentities(const std::string& archive) {
  MemoryStream in(archive), out;
  ZipArchive from(kLead), to(kLead);
  EXPECT_TRUE(from.Read(in));
  EXPECT_TRUE(to.Read(out = MemoryStream(EncodeEndRecord(EndRecord{}))));
  for (size_t i = 0; i < from.Entries().size(); ++i) {
    const CentralRecord& c = from.Entries()[i].central;
    to.AddStreamEntry(c.name, c.external_attributes, c.name.back() == '/' ? "" : *from.ReadEntryData(i), c.stamp, 9);
  }
  return out.Bytes();
}

TEST_F(Office, UploadsThatRaceLoseNoEdit) {
  InStep();
  Installation c(fs, server, "C");
  ASSERT_TRUE(Took(c.Download()));
  // Each changes a card of its own, and the three uploads fetch the same
  // copy before any of them has stored: C stores first, then B, then A,
  // each over the one before.
  a.Edit("1.vcf", "one by A");
  b.Edit("2.vcf", "two by B");
  c.Edit("3.vcf", "three by C");
  a.Transport().after_fetch = [&] { EXPECT_EQ(b.Upload().result, TJobResult::kDone); };
  b.Transport().after_fetch = [&] { EXPECT_EQ(c.Upload().result, TJobResult::kDone); };
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_EQ(ServerCards(server)["2.vcf"], "two");  // B's edit was replaced on the server
  // Each in turn downloads and uploads, twice round: every edit everywhere.
  Installation* everyone[] = {&a, &b, &c};
  for (int round = 0; round < 2; ++round)
    for (Installation* one : everyone) {
      one->Download();
      one->Upload();
    }
  const Book edits = {{"1.vcf", "one by A"}, {"2.vcf", "two by B"}, {"3.vcf", "three by C"}};
  ExpectEverywhere(edits);
  EXPECT_EQ(c.Cards(), ServerCards(server));
  for (Installation* one : everyone) EXPECT_TRUE(one->Conflicts().empty());

  // A colleague who restores a card to its exact earlier bytes makes news.
  a.Edit("1.vcf", "one");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(b.Cards()["1.vcf"], "one");

  // C keeps A's card against the stale copy B's upload sent back, and takes
  // A's next version as news of A's, not as a conflict with its own.
  ASSERT_TRUE(Took(c.Download()));
  a.Edit("1.vcf", "one by A, 2");
  b.Edit("2.vcf", "two by B, 2");
  b.Transport().after_fetch = [&] {
    EXPECT_EQ(a.Upload().result, TJobResult::kDone);
    EXPECT_TRUE(Took(c.Download()));
  };
  ASSERT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_EQ(c.Download().stale, 1);
  a.Edit("1.vcf", "one by A, 3");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(c.Download()));
  EXPECT_EQ(c.Cards()["1.vcf"], "one by A, 3");
  for (Installation* one : everyone) {
    EXPECT_TRUE(Took(one->Download()));
    EXPECT_TRUE(one->Conflicts().empty());
  }
  ExpectEverywhere({{"1.vcf", "one by A, 3"}, {"2.vcf", "two by B, 2"}});

  // Two edits of one card: B's upload, made without A's, replaces it unseen.
  // A's next download tells the conflict, keeps its own version and sends
  // it again as one made over B's, which B then takes without a conflict of
  // its own. A conflict an upload meets is told once in the same way.
  a.Edit("1.vcf", "one by A, 4");
  b.Edit("1.vcf", "one by B, 4");
  b.Transport().after_fetch = [&] { EXPECT_EQ(a.Upload().result, TJobResult::kDone); };
  ASSERT_EQ(b.Upload().result, TJobResult::kDone);
  const TJobReport told = a.Download();
  EXPECT_EQ(told.conflicts, 1u);
  EXPECT_TRUE(told.upload_needed);
  EXPECT_EQ(a.Conflicts()["1.vcf"], "one by B, 4");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  c.Edit("1.vcf", "one by C, 5");
  ASSERT_EQ(c.Upload().result, TJobResult::kDone);
  EXPECT_EQ(c.Conflicts()["1.vcf"], "one by A, 4");
  for (Installation* one : {&a, &b}) {
    const TJobReport took = one->Download();
    EXPECT_TRUE(Took(took));
    EXPECT_EQ(took.conflicts, 0u) << one->Folder();
  }
  ExpectEverywhere({{"1.vcf", "one by C, 5"}});

  // Cards without identities (an installation of the original design
  // packed the server's book) follow the card rules.
  server.archive = WithoutIdentities(*server.archive);
  ++server.version;
  a.Edit("2.vcf", "two by A");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  server.archive = WithoutIdentities(*server.archive);
  ++server.version;
  EXPECT_TRUE(Took(c.Download()));
  EXPECT_EQ(c.Cards()["2.vcf"], "two by A");
  EXPECT_EQ(c.Conflicts().count("2.vcf"), 0u);
}

// Three installations run jobs in an order drawn at random, and jobs of the
// others come between a job's fetch and its end. An upload a job asks for
// (to send again a card the server held a stale copy of) runs at its
// installation's next turn, as the plug-in's runs a moment later. Each case
// ends with every installation downloading and uploading twice round.
// - Each editing only its own card, whether the server replaces its archive
//   blindly (HTTP) or checks first that it is the one merged (FTP): nobody
//   changed a card another changed, so no conflict copy may appear, and
//   every book and the server hold every card's last edit.
// - Editing any card, on a server that checks: two edits of one card may
//   conflict, but no edit is lost: each is on the server or in a conflict
//   copy, and every book holds the server's cards.
TEST(OfficeRaces, NoEditIsLostAndNoConflictIsFalse) {
  const struct {
    const char* what;
    bool checks, any_card;
  } cases[] = {{"own cards, the server replaces blindly", false, false},
               {"own cards, the server checks first", true, false},
               {"any card, the server checks first", true, true},
               {"any card, the server replaces blindly", false, true}};
  for (const auto& c : cases) {
    size_t sent_again = 0;  // uploads that met a colleague's at the last moment
    for (unsigned seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
      MemoryFileSystem fs;
      Server server;
      server.checks_before_replacing = c.checks;
      std::vector<std::unique_ptr<Installation>> office;
      for (const char* name : {"A", "B", "C"}) office.push_back(std::make_unique<Installation>(fs, server, name));
      const auto card = [](size_t i) { return std::to_string(i + 1) + ".vcf"; };
      Book last;
      for (size_t i = 0; i < office.size(); ++i) office[0]->Edit(card(i), last[card(i)] = "card " + card(i) + "\n");
      ASSERT_EQ(office[0]->Upload(true).result, TJobResult::kDone);
      for (size_t i = 1; i < office.size(); ++i) ASSERT_EQ(office[i]->Fetch().result, TJobResult::kDone);

      std::mt19937 random(seed);
      std::vector<bool> busy(office.size()), upload_asked(office.size());
      int edits = 0;
      const auto run = [&](size_t i, const std::function<TJobReport(Installation&)>& job) {
        const TJobReport report = job(*office[i]);
        office[i]->Transport().after_fetch = nullptr;
        upload_asked[i] = report.upload_needed || report.upload_wanted;
        sent_again += report.sent_again;
        if (!c.any_card) {
          EXPECT_EQ(report.conflicts, 0u) << office[i]->Folder();
        }
      };
      std::function<void(int)> step = [&](int depth) {
        size_t i = random() % office.size();
        while (busy[i]) i = (i + 1) % office.size();
        busy[i] = true;
        if (depth < 2 && random() % 2)
          office[i]->Transport().after_fetch = [&step, &random, depth] {
            for (int n = 1 + random() % 2; n > 0; --n) step(depth + 1);
          };
        if (upload_asked[i]) {
          run(i, [](Installation& one) { return one.Upload(); });
        } else if (random() % 2) {
          const std::string edited = card(c.any_card ? random() % office.size() : i);
          last[edited] = office[i]->Cards()[edited] + "edit " + std::to_string(++edits) + "\n";
          office[i]->Edit(edited, last[edited]);
          run(i, [](Installation& one) { return one.Upload(); });
        } else {
          const bool whole = random() % 2;
          run(i, [whole](Installation& one) { return whole ? one.Fetch() : one.Download(); });
        }
        busy[i] = false;
      };
      for (int k = 0; k < 30; ++k) step(0);
      for (int round = 0; round < 2; ++round)
        for (size_t i = 0; i < office.size(); ++i) {
          if (upload_asked[i]) run(i, [](Installation& one) { return one.Upload(); });
          run(i, [](Installation& one) { return one.Download(); });
          run(i, [](Installation& one) { return one.Upload(); });
        }
      const Book on_server = ServerCards(server);
      for (const auto& one : office) {
        EXPECT_TRUE(Took(one->Fetch()));
        EXPECT_EQ(one->Cards(), on_server);
      }
      if (!c.any_card) {
        EXPECT_EQ(on_server, last);
      } else {
        std::string kept;
        for (const auto& [name, content] : on_server) kept += content;
        for (const auto& one : office)
          for (const auto& [name, content] : fs.Tree(one->Folder() + "N2Conflicts")) kept += content;
        for (int e = 1; e <= edits; ++e)
          EXPECT_NE(kept.find("edit " + std::to_string(e) + "\n"), std::string::npos) << "edit " << e << " lost";
      }
      if (::testing::Test::HasFailure()) return;
    }
    if (c.checks)
      EXPECT_GT(sent_again, 0u) << c.what;
    else
      EXPECT_EQ(sent_again, 0u) << c.what;
  }
}

TEST_F(Office, ACutCopyIsFetchedAgainAndChangesNothing) {
  InStep();
  a.Edit("1.vcf", "one by A");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  // A colleague's upload still on its way: fetched again a moment later.
  b.waits = true;
  b.Transport().fetch_fault = ScriptedTransport::kCut;
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(b.waited, 1);
  EXPECT_EQ(b.Cards()["1.vcf"], "one by A");
  // One that stays cut changes nothing, and an upload sends nothing over it.
  b.waits = false;
  a.Edit("1.vcf", "one by A again");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  b.Transport().fetch_fault = ScriptedTransport::kCut;
  const TJobReport cut = b.Download();
  EXPECT_EQ(cut.result, TJobResult::kExtractFailed);
  EXPECT_EQ(b.Cards()["1.vcf"], "one by A");
  b.Transport().fetch_fault = ScriptedTransport::kCut;
  b.Edit("2.vcf", "two by B");
  server.calls.clear();
  EXPECT_EQ(b.Upload().result, TJobResult::kFailed);
  EXPECT_EQ(server.calls, (std::vector<std::string>{"fetch"}));
  b.Transport().fetch_fault = ScriptedTransport::kFailOnWay;
  EXPECT_EQ(b.Download().result, TJobResult::kFailed);
  EXPECT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(a.Download()));
  ExpectEverywhere({{"1.vcf", "one by A again"}, {"2.vcf", "two by B"}});
}

// A download keeps the server's copy, and the next pack takes the data of
// unchanged cards from it: unchecked only once all of it was proven to hold
// what its checksums name. Data damaged on the server is never passed on.
TEST_F(Office, ADamagedCopyIsNeverPassedOn) {
  InStep();
  const auto proven = [&](const Installation& i) {
    TSavedState state(fs, kLead, i.Folder());
    const std::optional<FileIndex> index = state.LoadIndex();
    const std::optional<FileStamp> copy = fs.Stat(state.ArchivePath());
    return index && copy && index->ProvenArchive() == FileIndex::ArchiveStamp{copy->size, copy->write_time};
  };
  EXPECT_TRUE(proven(b));
  // Card 2's data damaged on the server; its checksum still names B's bytes,
  // so the download has nothing of it to write.
  {
    MemoryStream bytes(*server.archive);
    ZipArchive archive(kLead);
    ASSERT_TRUE(archive.Read(bytes));
    const int two = archive.FindEntry("AddrBook/2.vcf");
    ASSERT_GE(two, 0);
    const std::optional<ZipArchive::RawData> raw = archive.RawEntry(static_cast<size_t>(two));
    ASSERT_TRUE(raw && raw->compressed_size > 0);
    (*server.archive)[static_cast<size_t>(raw->position)] ^= 0x5A;
    ++server.version;
  }
  EXPECT_EQ(b.Fetch().result, TJobResult::kDone);
  EXPECT_FALSE(proven(b));
  b.Edit("3.vcf", "three by B");
  ASSERT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_EQ(ServerCards(server)["2.vcf"], "two");
  EXPECT_TRUE(Took(a.Download()));
  EXPECT_TRUE(proven(a));
  ExpectEverywhere({{"2.vcf", "two"}, {"3.vcf", "three by B"}});
}

TEST_F(Office, OnlyChangedBooksTravel) {
  InStep();  // B's download took the archive in
  // The download every 10 minutes moves nothing while the server's archive
  // stays the same.
  const int transfers = server.transfers;
  EXPECT_EQ(b.Download().result, TJobResult::kUnchanged);
  EXPECT_EQ(server.transfers, transfers);
  // An upload after one card changed does not fetch the unchanged archive either.
  b.Edit("2.vcf", "two by B");
  EXPECT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_EQ(server.transfers, transfers);
  // Another's upload changes the archive: it travels again.
  a.Edit("3.vcf", "three by A");
  ASSERT_EQ(a.Upload().result, TJobResult::kDone);
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_GT(server.transfers, transfers);
  EXPECT_EQ(b.Cards()["3.vcf"], "three by A");
  // A card deleted here is not sent as a deletion: the upload fetches and
  // merges it back, whatever the server tells.
  fs.Remove(b.CardPath("1.vcf"));
  b.Edit("3.vcf", "three by B");
  EXPECT_EQ(b.Upload().result, TJobResult::kDone);
  EXPECT_EQ(ServerCards(server)["1.vcf"], "one");
  EXPECT_EQ(b.Cards()["1.vcf"], "one");
  // A download at start or by hand fetches whole, and brings back a card
  // deleted here.
  fs.Remove(b.CardPath("2.vcf"));
  const int whole = server.transfers;
  EXPECT_EQ(b.Fetch().result, TJobResult::kDone);
  EXPECT_EQ(server.transfers, whole + 1);
  EXPECT_EQ(b.Cards()["2.vcf"], ServerCards(server)["2.vcf"]);
  // A server that tells nothing of its archive moves it every time.
  server.tells_versions = false;
  const int before = server.transfers;
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_TRUE(Took(b.Download()));
  EXPECT_EQ(server.transfers, before + 2);
}

}  // namespace
}  // namespace n2
