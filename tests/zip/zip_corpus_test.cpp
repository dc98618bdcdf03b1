// Broken archives kept as files in corpus/: each once found, or could find, a
// fault in the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "zip/zip_archive.h"

namespace n2 {
namespace {

std::string Corpus(const std::string& name) {
  const char* source = std::getenv("N2_SOURCE_DIR");
  std::string path = std::string(source ? source : ".") + "/tests/zip/corpus/" + name;
#ifdef _WIN32
  if (path.front() == '/') path = "Z:" + path;
#endif
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Opened {
  MemoryStream stream;
  ZipArchive zip{LeadBytes::Cp932()};
  explicit Opened(const std::string& name) : stream(Corpus(name)) { zip.Read(stream); }
};

TEST(ZipCorpus, NotArchivesAreNoError) {
  for (const char* name : {"empty.zip", "garbage21.zip", "error_page.zip"}) {
    Opened o(name);
    EXPECT_FALSE(o.zip.IsZip()) << name;
  }
}

TEST(ZipCorpus, HostileNamesNeverGetAnExtractPath) {
  Opened o("traversal.zip");
  ASSERT_TRUE(o.zip.IsZip());
  ASSERT_EQ(o.zip.Entries().size(), 10u);
  for (const ZipEntry& e : o.zip.Entries())
    EXPECT_EQ(SafeExtractPath(e.central.name, LeadBytes::Cp932()).has_value(), e.central.name == "AddrBook/ok.vcf") << e.central.name;
}

TEST(ZipCorpus, BadCrcAndMalformedDataRaiseAfterGoodEntries) {
  for (const char* name : {"bad_crc.zip", "malformed_deflate.zip"}) {
    Opened o(name);
    ASSERT_TRUE(o.zip.IsZip()) << name;
    EXPECT_TRUE(o.zip.ReadEntryData(0)) << name;
    EXPECT_THROW(o.zip.ReadEntryData(1), EDecompressionError) << name;
  }
}

TEST(ZipCorpus, CutArchiveWalksTheLocalHeaders) {
  Opened o("cut_mid_entry.zip");
  ASSERT_TRUE(o.zip.IsZip());
  ASSERT_EQ(o.zip.Entries().size(), 2u);
  EXPECT_TRUE(o.zip.ReadEntryData(0));
  EXPECT_FALSE(o.zip.ReadEntryData(1));
}

TEST(ZipCorpus, EntriesWithoutUsableDataAreSkipped) {
  Opened wrong_offset("wrong_offset.zip");
  ASSERT_TRUE(wrong_offset.zip.IsZip());
  EXPECT_TRUE(wrong_offset.zip.ReadEntryData(0));
  EXPECT_FALSE(wrong_offset.zip.ReadEntryData(1));
  // Cut inside a bzip2 entry whose 79 bytes present would decode to the 64 MB
  // it declares: skipped as cut, without decoding them.
  Opened cut_bzip2("bzip2_cut_expansion.zip");
  ASSERT_TRUE(cut_bzip2.zip.IsZip());
  EXPECT_FALSE(cut_bzip2.zip.ReadEntryData(0));
}

// Archives that would make a reader allocate or produce far more than they
// hold: their entries are refused with an error when read, before anything
// is decoded, while ordinary entries beside them are read.
TEST(ZipCorpus, EntriesThatWouldExplodeAreRefused) {
  struct Case {
    const char* name;
    size_t entries;
    std::vector<size_t> readable;
  } cases[] = {
      {"size_lie.zip", 1, {}},               // deflate entry claiming 4 GB
      {"declared_too_large.zip", 1, {}},     // bzip2 entry claiming 1.5 GB
      {"shared_data.zip", 21, {0}},          // twenty records listing one deflated megabyte
      {"overlapping_ranges.zip", 2, {}},     // an entry stored inside another's data
      {"bzip2_expansion.zip", 4, {0}},       // a card, then three bzip2 entries of 79 bytes claiming 64 MB each
  };
  for (const Case& c : cases) {
    Opened o(c.name);
    ASSERT_TRUE(o.zip.IsZip()) << c.name;
    ASSERT_EQ(o.zip.Entries().size(), c.entries) << c.name;
    for (size_t i = 0; i < c.entries; ++i) {
      if (std::find(c.readable.begin(), c.readable.end(), i) != c.readable.end()) {
        EXPECT_TRUE(o.zip.ReadEntryData(i)) << c.name << " " << i;
        continue;
      }
      try {
        o.zip.ReadEntryData(i);
        ADD_FAILURE() << c.name << " " << i << ": not refused";
      } catch (const EDecompressionError& e) {
        EXPECT_NE(e.Message().find(o.zip.Entries()[i].central.name), std::string::npos) << e.Message();
      }
    }
  }
}

TEST(ZipCorpus, ZeroDateAndDataDescriptorsAreRead) {
  Opened zero("zero_date.zip");
  ASSERT_TRUE(zero.zip.IsZip());
  EXPECT_TRUE(zero.zip.ReadEntryData(0));
  Opened dd("data_descriptor.zip");
  ASSERT_TRUE(dd.zip.IsZip());
  ASSERT_EQ(dd.zip.Entries().size(), 2u);
  EXPECT_EQ(dd.zip.ReadEntryData(0), dd.zip.ReadEntryData(1));
}

}  // namespace
}  // namespace n2
