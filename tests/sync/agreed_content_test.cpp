// The merge rules of the agreed content, and the two records a data folder
// keeps (the agreed content, the index of the book's files).
#include <gtest/gtest.h>

#include "sync/agreed_content.h"
#include "state/file_index.h"

namespace n2 {
namespace {

const LeadBytes& kLead = LeadBytes::Cp932();

CardContent Card(uint32_t size, uint32_t crc, uint32_t attributes = 0) { return CardContent{size, crc, attributes, false}; }

// A local file of the given content; counts how often its checksum is read.
LocalFile Local(const CardContent& c, int* reads) {
  LocalFile f;
  f.exists = true;
  f.size = c.size;
  f.attributes = c.attributes | kAttrArchive;
  f.crc = [c, reads] {
    ++*reads;
    return c.crc;
  };
  return f;
}

TEST(AgreedContent, EachCardGoesTheWayOfWhoeverChangedIt) {
  const CardContent v0 = Card(10, 0x100), v1 = Card(10, 0x101), v2 = Card(12, 0x102);
  const CardContent v0_read_only = Card(10, 0x100, kAttrReadOnly), v0_hidden = Card(10, 0x100, kAttrHidden);
  BookContent book(kLead);
  book.Add("AddrBook/A.vcf", v0);
  TAgreedContent agreed(kLead), unknown(kLead);
  agreed.Agree(book);
  struct Case {
    const char* what;
    const TAgreedContent& rules;
    const char* name;
    std::optional<CardContent> local;
    CardContent server;
    TCardAction action;
    bool as_agreed;
    bool reads;  // whether the local file's checksum is needed
  } cases[] = {
      {"nobody changed it", agreed, "AddrBook/a.vcf", v0, v0, TCardAction::kKeepLocal, false, false},
      {"the server changed it", agreed, "AddrBook/a.vcf", v0, v1, TCardAction::kTakeServer, true, true},
      {"this installation changed it", agreed, "AddrBook/a.vcf", v1, v0, TCardAction::kKeepLocal, false, false},
      {"both made the same change", agreed, "addrbook/A.VCF", v1, v1, TCardAction::kKeepLocal, false, true},
      {"both changed it differently", agreed, "AddrBook/a.vcf", v1, v2, TCardAction::kSaveServerCopy, false, true},
      {"it is missing here", agreed, "AddrBook/a.vcf", std::nullopt, v1, TCardAction::kTakeServer, false, false},
      {"only the server's attributes changed", agreed, "AddrBook/a.vcf", v0, v0_read_only,
       TCardAction::kTakeServer, true, true},
      {"only the local attributes changed", agreed, "AddrBook/a.vcf", v0_hidden, v0, TCardAction::kKeepLocal, false,
       false},
      {"both changed only attributes", agreed, "AddrBook/a.vcf", v0_hidden, v0_read_only, TCardAction::kKeepLocal,
       false, true},
      {"new on both sides, alike", agreed, "AddrBook/new.vcf", v1, v1, TCardAction::kKeepLocal, false, true},
      {"new on both sides, different", agreed, "AddrBook/new.vcf", v1, v2, TCardAction::kSaveServerCopy, false, false},
      {"no agreed content: as always", unknown, "AddrBook/a.vcf", v1, v2, TCardAction::kTakeServer, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int reads = 0;
    const LocalFile local = c.local ? Local(*c.local, &reads) : LocalFile{};
    const TCardDecision d = c.rules.Decide(c.name, c.server, local);
    EXPECT_EQ(d.action, c.action);
    EXPECT_EQ(d.local_as_agreed, c.as_agreed);
    EXPECT_EQ(reads > 0, c.reads);
  }
}

TEST(AgreedContent, RecordsReadBackWholeOrNotAtAll) {
  BookContent book(kLead);
  book.Add("AddrBook/", CardContent{0, 0, 0, true});
  book.Add("AddrBook/\x83\x5C 100%\n.vcf", Card(7, 0xDEADBEEF, kAttrReadOnly | kAttrSystem));
  TAgreedContent agreed(kLead);
  agreed.Agree(book);
  const std::string text = agreed.Text();
  const TAgreedContent back = TAgreedContent::Parse(text, kLead);
  ASSERT_TRUE(back.Known());
  EXPECT_TRUE(back.Matches(book));
  BookContent other = book;
  other.Add("AddrBook/x.vcf", Card(1, 1));
  EXPECT_FALSE(back.Matches(other));
  EXPECT_FALSE(TAgreedContent(kLead).Matches(BookContent(kLead)));  // unknown matches nothing

  FileIndex index(kLead);
  index.SetTakenAt(500'000'000);
  index.Set("AddrBook/a b.vcf", IndexedFile{10, 100'000'000, 0x21, 0x1234});
  index.SetPackedArchive(FileIndex::ArchiveStamp{4096, 300'000'000});
  const std::string index_text = index.Text();
  const std::optional<FileIndex> index_back = FileIndex::Parse(index_text, kLead);
  ASSERT_TRUE(index_back);
  EXPECT_EQ(index_back->PackedArchive(), (FileIndex::ArchiveStamp{4096, 300'000'000}));
  ASSERT_NE(index_back->Find("addrbook/A B.VCF"), nullptr);
  EXPECT_EQ(*index_back->Find("AddrBook/a b.vcf"), (IndexedFile{10, 100'000'000, 0x21, 0x1234}));

  for (const std::string* record : {&text, &index_text}) {
    for (size_t cut : {size_t{0}, size_t{5}, record->size() / 2, record->size() - 1}) {
      EXPECT_FALSE(TAgreedContent::Parse(record->substr(0, cut), kLead).Known()) << cut;
      EXPECT_FALSE(FileIndex::Parse(record->substr(0, cut), kLead)) << cut;
    }
    std::string flipped = *record;
    flipped[flipped.size() / 3] ^= 0x01;
    EXPECT_FALSE(TAgreedContent::Parse(flipped, kLead).Known());
    EXPECT_FALSE(FileIndex::Parse(flipped, kLead));
  }
}

TEST(FileIndexTrust, OnlyUnchangedFilesWrittenWellBeforeTheRecord) {
  FileIndex index(kLead);
  const uint64_t taken = 1'000'000'000;
  index.SetTakenAt(taken);
  index.Set("AddrBook/old.vcf", IndexedFile{10, taken - FileIndex::kTimeResolution - 1, 0x20, 0xAA});
  index.Set("AddrBook/racy.vcf", IndexedFile{10, taken - FileIndex::kTimeResolution, 0x20, 0xBB});
  EXPECT_EQ(index.TrustedCrc("AddrBook/old.vcf", 10, taken - FileIndex::kTimeResolution - 1), 0xAAu);
  EXPECT_FALSE(index.TrustedCrc("AddrBook/old.vcf", 11, taken - FileIndex::kTimeResolution - 1));
  EXPECT_FALSE(index.TrustedCrc("AddrBook/old.vcf", 10, taken - FileIndex::kTimeResolution));
  EXPECT_FALSE(index.TrustedCrc("AddrBook/racy.vcf", 10, taken - FileIndex::kTimeResolution));
  EXPECT_FALSE(index.TrustedCrc("AddrBook/none.vcf", 10, 0));
}

}  // namespace
}  // namespace n2
