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

CardContent Card(uint32_t size, uint32_t crc, uint32_t attributes = 0) { return CardContent{size, crc, attributes, false}; }

TEST(Records, ReadBackWholeOrNotAtAll) {
  const std::string server = "ftp://\x95\x5C:21 /\x8B\xA4\x97\x4C/";
  BookContent book(kLead);
  book.Add("AddrBook/", CardContent{0, 0, 0, true});
  book.Add("AddrBook/\x83\x5C 100%\n.vcf", Card(7, 0xDEADBEEF, kAttrReadOnly | kAttrSystem));
  TAgreedRecord agreed(kLead);
  agreed.Agree(book, server);
  const std::string text = agreed.Text();
  const TAgreedRecord back = TAgreedRecord::Parse(text, kLead, server);
  ASSERT_TRUE(back.Complete());
  EXPECT_TRUE(back.Book() == book);
  // Another server's record is no record; one of the earlier form is taken
  // as the configured server's.
  EXPECT_TRUE(TAgreedRecord::Parse(text, kLead, "http://other/").Missing());
  const size_t first_line = text.find('\n') + 1;
  const std::string lines = text.substr(first_line, text.rfind("end ") - first_line);
  const TAgreedRecord earlier =
      TAgreedRecord::Parse(SealRecord("n2agreed 1\n" + lines, book.Count() + 1), kLead, server);
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
  AppendJournalLine(journal, JournalLine{"AddrBook/sub/", CardContent{0, 0, 0, true}, "C:\\data\\AddrBook\\sub"});
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
      EXPECT_TRUE(TAgreedRecord::Parse(record->substr(0, cut), kLead, server).Missing()) << cut;
      EXPECT_FALSE(FileIndex::Parse(record->substr(0, cut), kLead)) << cut;
    }
    std::string flipped = *record;
    flipped[flipped.size() / 3] ^= 0x01;
    EXPECT_TRUE(TAgreedRecord::Parse(flipped, kLead, server).Missing());
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
