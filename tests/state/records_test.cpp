// The records a data folder keeps: the agreed record, the index of the
// book's files, the journal of a job. Each reads back whole or not at all.
#include <gtest/gtest.h>

#include "state/agreed_record.h"
#include "state/file_index.h"
#include "state/journal.h"
#include "state/record_text.h"

namespace n2 {
namespace {

const LeadBytes& kLead = LeadBytes::Cp932();

CardContent Card(uint32_t size, uint32_t crc, uint32_t attributes = 0,
                 std::optional<CardIdentity> identity = std::nullopt) {
  CardContent card;
  card.size = size;
  card.crc = crc;
  card.attributes = attributes;
  card.identity = identity;
  return card;
}
CardContent Folder() {
  CardContent folder;
  folder.folder = true;
  return folder;
}

TEST(Records, ReadBackWholeOrNotAtAll) {
  const std::string server = "ftp://\x95\x5C:21 /\x8B\xA4\x97\x4C/";
  const CardIdentity v1{0xA1, 100}, v2{0xA1, 200, SeenVersions::Parse("d4:7")}, other{0xB2, 150};
  BookContent book(kLead);
  book.Add("AddrBook/", Folder());
  book.Add("AddrBook/\x83\x5C 100%\n.vcf", Card(7, 0xDEADBEEF, kAttrReadOnly | kAttrSystem, v1));
  TAgreedRecord agreed(kLead);
  agreed.SetInstallation(0xC3);
  agreed.Agree(book, server);
  // A newer version agrees: the one before is a stale copy from then on,
  // and so is any older version of its installation; others are not.
  BookContent newer = book;
  newer.Add("AddrBook/\x83\x5C 100%\n.vcf", Card(9, 0xBEEF, 0, v2));
  agreed.Agree(newer, server);
  agreed.SetValidator("\"etag 1\" Tue, 08 Dec 2026 08:00:00 GMT");
  // A new version is made over every version seen, those the agreed one was
  // made over included; a card met for the first time over none.
  const CardIdentity made = agreed.NewIdentity("AddrBook/\x83\x5C 100%\n.vcf", 50);
  EXPECT_EQ(made, (CardIdentity{0xC3, 50}));
  EXPECT_EQ(made.Text(), "c3.32/a1:c8,d4:7");
  EXPECT_EQ(made.Follows(v1), true);
  EXPECT_EQ(made.Follows(other), false);
  EXPECT_EQ(other.Follows(v1), std::nullopt);  // an earlier build's version tells nothing
  EXPECT_EQ(CardIdentity::Parse(made.Text())->over->Text(), "a1:c8,d4:7");
  EXPECT_EQ(agreed.NewIdentity("AddrBook/new.vcf", 40).Text(), "c3.33/-");  // never below an earlier one
  const std::string text = agreed.Text();
  const TAgreedRecord back = TAgreedRecord::Parse(text, kLead, server);
  ASSERT_TRUE(back.Complete());
  EXPECT_TRUE(back.Book() == newer);
  EXPECT_EQ(back.Installation(), 0xC3u);
  TAgreedRecord again = back;
  EXPECT_EQ(again.NewIdentity("AddrBook/new.vcf", 0).stamp, 52u);
  EXPECT_EQ(back.Validator(), agreed.Validator());
  const std::string card = "addrbook/\x83\x5C 100%\n.VCF";
  EXPECT_EQ(back.Find(card)->identity, v2);
  EXPECT_TRUE(back.Stale(card, v1));
  EXPECT_TRUE(back.Stale(card, CardIdentity{0xA1, 99}));
  EXPECT_FALSE(back.Stale(card, v2));
  EXPECT_FALSE(back.Stale(card, other));
  EXPECT_TRUE(back.Stale(card, CardIdentity{0xD4, 7}));
  EXPECT_FALSE(back.Stale(card, CardIdentity{0xA1, 201}));
  // Another server's record is no record; one of the earlier form (no
  // server, no identities) is taken as the configured server's.
  EXPECT_TRUE(TAgreedRecord::Parse(text, kLead, "http://other/").Missing());
  const TAgreedRecord earlier = TAgreedRecord::Parse(
      SealRecord("n2agreed 1\n0 0 0 d AddrBook/\ndeadbeef 7 5 f AddrBook/%83%5C%20100%25%0A.vcf\n", 3), kLead, server);
  EXPECT_TRUE(earlier.Complete());
  EXPECT_TRUE(earlier.Book() == book);
  EXPECT_EQ(earlier.Server(), server);
  {
    TAgreedRecord partial(kLead);
    partial.AgreeOn("AddrBook/x.vcf", Card(1, 1), server);
    const TAgreedRecord partial_back = TAgreedRecord::Parse(partial.Text(), kLead, server);
    EXPECT_EQ(partial_back.State(), TAgreement::kPartial);
    EXPECT_NE(partial_back.Find("addrbook/X.VCF"), nullptr);
  }

  // A journal's lines read back up to the first one damaged.
  std::string journal = JournalHeader(server);
  AppendJournalLine(journal, JournalLine{"AddrBook/a.vcf", Card(3, 0xAB), "C:\\data\\AddrBook\\a.vcf"});
  AppendJournalLine(journal, JournalLine{"AddrBook/sub/", Folder(), "C:\\data\\AddrBook\\sub"});
  const size_t whole = journal.size();
  AppendJournalLine(journal, JournalLine{"AddrBook/b.vcf", Card(4, 0xCD), "C:\\data\\AddrBook\\b.vcf"});
  for (size_t cut : {whole, journal.size() - 1}) {
    const std::optional<Journal> read = ParseJournal(journal.substr(0, cut));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->server, server);
    ASSERT_EQ(read->lines.size(), 2u) << cut;
    EXPECT_EQ(read->lines[0].name, "AddrBook/a.vcf");
    EXPECT_EQ(read->lines[0].card, Card(3, 0xAB));
    EXPECT_TRUE(read->lines[1].card.folder);
  }
  std::string flipped_journal = journal;
  flipped_journal[whole + 12] ^= 0x01;
  EXPECT_EQ(ParseJournal(flipped_journal)->lines.size(), 2u);

  FileIndex index(kLead);
  index.SetTakenAt(500'000'000);
  index.Set("AddrBook/a b.vcf", IndexedFile{10, 100'000'000, 0x21, 0x1234, v1});
  index.Set("AddrBook/c.vcf", IndexedFile{3, 5, 0x20, 0x9, std::nullopt});
  index.SetProvenArchive(FileIndex::ArchiveStamp{4096, 300'000'000});
  const std::string index_text = index.Text();
  const std::optional<FileIndex> index_back = FileIndex::Parse(index_text, kLead);
  ASSERT_TRUE(index_back);
  EXPECT_EQ(index_back->ProvenArchive(), (FileIndex::ArchiveStamp{4096, 300'000'000}));
  ASSERT_NE(index_back->Find("addrbook/A B.VCF"), nullptr);
  EXPECT_EQ(*index_back->Find("AddrBook/a b.vcf"), (IndexedFile{10, 100'000'000, 0x21, 0x1234, v1}));
  EXPECT_EQ(index_back->Find("AddrBook/c.vcf")->identity, std::nullopt);
  // An index of the form before identities is still read.
  const std::optional<FileIndex> earlier_index =
      FileIndex::Parse(SealRecord("n2index 2 500000000 0 0\n1234 10 100000000 21 AddrBook/a%20b.vcf\n", 2), kLead);
  ASSERT_TRUE(earlier_index);
  EXPECT_EQ(*earlier_index->Find("AddrBook/a b.vcf"), (IndexedFile{10, 100'000'000, 0x21, 0x1234, std::nullopt}));

  for (const std::string* record : {&text, &index_text}) {
    for (size_t cut : {size_t{0}, size_t{5}, record->size() / 2, record->size() - 1}) {
      EXPECT_TRUE(TAgreedRecord::Parse(record->substr(0, cut), kLead, server).Missing()) << cut;
      EXPECT_FALSE(FileIndex::Parse(record->substr(0, cut), kLead)) << cut;
    }
    std::string flipped = *record;
    flipped[flipped.size() / 3] ^= 0x01;
    EXPECT_TRUE(TAgreedRecord::Parse(flipped, kLead, server).Missing());
    EXPECT_FALSE(FileIndex::Parse(flipped, kLead));
  }
  // A name reads back byte for byte; a broken escape is no name.
  EXPECT_EQ(UnescapeRecordName("%25a%20b%0A"), "%a b\n");
  EXPECT_EQ(UnescapeRecordName(""), "");
  for (const char* broken : {"a%", "a%4", "%zz.vcf", "a%4g", "b%%41"}) EXPECT_FALSE(UnescapeRecordName(broken)) << broken;
}

TEST(FileIndexTrust, OnlyUnchangedFilesWrittenWellBeforeTheRecord) {
  FileIndex index(kLead);
  const uint64_t taken = 1'000'000'000;
  index.SetTakenAt(taken);
  index.Set("AddrBook/old.vcf", IndexedFile{10, taken - FileIndex::kTimeResolution - 1, 0x20, 0xAA, std::nullopt});
  index.Set("AddrBook/racy.vcf", IndexedFile{10, taken - FileIndex::kTimeResolution, 0x20, 0xBB, std::nullopt});
  EXPECT_EQ(index.TrustedCrc("AddrBook/old.vcf", 10, taken - FileIndex::kTimeResolution - 1), 0xAAu);
  EXPECT_FALSE(index.TrustedCrc("AddrBook/old.vcf", 11, taken - FileIndex::kTimeResolution - 1));
  EXPECT_FALSE(index.TrustedCrc("AddrBook/old.vcf", 10, taken - FileIndex::kTimeResolution));
  EXPECT_FALSE(index.TrustedCrc("AddrBook/racy.vcf", 10, taken - FileIndex::kTimeResolution));
  EXPECT_FALSE(index.TrustedCrc("AddrBook/none.vcf", 10, 0));
}

}  // namespace
}  // namespace n2
