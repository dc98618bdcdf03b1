// The archive on a memory stream: the writer's exact bytes, in-place adding
// and replacing, the reader, entry decoding, and broken input.
#include <gtest/gtest.h>
#include <libdeflate.h>

#include <algorithm>
#include <random>

#include "zip/zip_archive.h"
#include "zip/zip_codec.h"

namespace n2 {
namespace {

uint16_t U16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s.at(at)) | static_cast<unsigned char>(s.at(at + 1)) << 8);
}
uint32_t U32(const std::string& s, size_t at) { return U16(s, at) | static_cast<uint32_t>(U16(s, at + 2)) << 16; }

std::string InflateRawForTest(const std::string& data, size_t size) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::string out(size, '\0');
  EXPECT_EQ(libdeflate_deflate_decompress(d, data.data(), data.size(), out.data(), out.size(), nullptr),
            LIBDEFLATE_SUCCESS);
  libdeflate_free_decompressor(d);
  return out;
}

std::string EmptyArchive() { return EncodeEndRecord(EndRecord{}); }

constexpr DosStamp kStamp{0x6A3C, 0x5921};

// Builds an archive entry by entry on a memory stream, batched or not.
std::string Build(const std::vector<std::tuple<std::string, uint32_t, std::string>>& entries, bool batch) {
  MemoryStream m(EmptyArchive());
  ZipArchive zip{LeadBytes::Cp932()};
  EXPECT_TRUE(zip.Read(m));
  if (batch) zip.BeginBatch();
  for (auto& [name, attributes, data] : entries) zip.AddStreamEntry(name, attributes, data, kStamp, 9);
  if (batch) zip.EndBatch();
  return m.Bytes();
}

const std::string kText = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.org\r\nEND:VCARD\r\n";

TEST(ZipWriter, EmptyArchiveIsTheEndRecordAlone) {
  std::string e = EmptyArchive();
  ASSERT_EQ(e.size(), 22u);
  EXPECT_EQ(U32(e, 0), 0x06054B50u);
  EXPECT_EQ(e.substr(4), std::string(18, '\0'));
  MemoryStream m(e);
  ZipArchive zip{LeadBytes::Cp932()};
  EXPECT_TRUE(zip.Read(m));
  EXPECT_TRUE(zip.Entries().empty());
}

TEST(ZipWriter, RecordsFieldByField) {
  const std::string a = Build({{"AddrBook\\", 0x10, ""}, {"AddrBook\\empty.vcf", 0x22, ""}, {"AddrBook\\a.vcf", 0x21, kText}},
                              false);
  // Folder entry.
  size_t p = 0;
  EXPECT_EQ(U32(a, p), 0x04034B50u);
  EXPECT_EQ(U16(a, p + 4), 20);
  EXPECT_EQ(U16(a, p + 6), 0);
  EXPECT_EQ(U16(a, p + 8), 0);
  EXPECT_EQ(U16(a, p + 10), kStamp.time);
  EXPECT_EQ(U16(a, p + 12), kStamp.date);
  EXPECT_EQ(U32(a, p + 14), 0u);
  EXPECT_EQ(U32(a, p + 18), 0u);
  EXPECT_EQ(U32(a, p + 22), 0u);
  EXPECT_EQ(U16(a, p + 26), 9);
  EXPECT_EQ(U16(a, p + 28), 0);
  EXPECT_EQ(a.substr(p + 30, 9), "AddrBook/");
  // The empty file follows directly: stored, no data.
  p += 39;
  EXPECT_EQ(U32(a, p), 0x04034B50u);
  EXPECT_EQ(U16(a, p + 8), 0);
  EXPECT_EQ(U32(a, p + 18), 0u);
  EXPECT_EQ(a.substr(p + 30, 18), "AddrBook/empty.vcf");
  const size_t empty_offset = p;
  p += 30 + 18;
  // The file: deflated, CRC and sizes of the text.
  const size_t file_offset = p;
  EXPECT_EQ(U32(a, p), 0x04034B50u);
  EXPECT_EQ(U16(a, p + 8), 8);
  EXPECT_EQ(U32(a, p + 14), libdeflate_crc32(0, kText.data(), kText.size()));
  const uint32_t c = U32(a, p + 18);
  EXPECT_EQ(U32(a, p + 22), kText.size());
  EXPECT_EQ(a.substr(p + 30, 14), "AddrBook/a.vcf");
  EXPECT_EQ(InflateRawForTest(a.substr(p + 44, c), kText.size()), kText);
  p += 44 + c;
  // Central directory.
  const size_t directory = p;
  const uint32_t offsets[] = {0, static_cast<uint32_t>(empty_offset), static_cast<uint32_t>(file_offset)};
  const uint32_t attributes[] = {0x10, 0x22, 0x21};
  const char* names[] = {"AddrBook/", "AddrBook/empty.vcf", "AddrBook/a.vcf"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(U32(a, p), 0x02014B50u);
    EXPECT_EQ(U16(a, p + 4), 20);
    EXPECT_EQ(U16(a, p + 6), 20);
    EXPECT_EQ(U16(a, p + 8), 0);
    EXPECT_EQ(U16(a, p + 10), i == 2 ? 8 : 0);
    EXPECT_EQ(U16(a, p + 12), kStamp.time);
    EXPECT_EQ(U16(a, p + 14), kStamp.date);
    EXPECT_EQ(U32(a, p + 20), i == 2 ? c : 0u);
    for (size_t f : {30, 32, 34, 36}) EXPECT_EQ(U16(a, p + f), 0) << f;
    EXPECT_EQ(U32(a, p + 38), attributes[i]);
    EXPECT_EQ(U32(a, p + 42), offsets[i]);
    const std::string name = names[i];
    EXPECT_EQ(U16(a, p + 28), name.size());
    EXPECT_EQ(a.substr(p + 46, name.size()), name);
    p += 46 + name.size();
  }
  // End record, and nothing after it.
  EXPECT_EQ(U32(a, p), 0x06054B50u);
  EXPECT_EQ(U16(a, p + 4), 0);
  EXPECT_EQ(U16(a, p + 6), 0);
  EXPECT_EQ(U16(a, p + 8), 3);
  EXPECT_EQ(U16(a, p + 10), 3);
  EXPECT_EQ(U32(a, p + 12), p - directory);
  EXPECT_EQ(U32(a, p + 16), directory);
  EXPECT_EQ(U16(a, p + 20), 0);
  EXPECT_EQ(a.size(), p + 22);
}

TEST(ZipWriter, UpperAttributeBitsAreDropped) {
  const std::string a = Build({{"x.txt", 0x12345, "x"}}, false);
  MemoryStream m(a);
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  EXPECT_EQ(zip.Entries()[0].central.external_attributes, 0x2345u);
}

TEST(ZipWriter, BatchGivesTheSameBytesAsOneEntryAtATime) {
  std::vector<std::tuple<std::string, uint32_t, std::string>> entries;
  for (int i = 0; i < 40; ++i)
    entries.emplace_back("AddrBook\\f" + std::to_string(i) + ".vcf", 0x20, kText + std::to_string(i));
  EXPECT_EQ(Build(entries, true), Build(entries, false));
}

TEST(ZipWriter, AddingANameAgainReplacesTheEarlierEntry) {
  // "A.VCF" replaces "a.vcf" (names compare without case); the bytes equal an archive written without the first.
  const std::string replaced =
      Build({{"d\\", 0x10, ""}, {"d\\a.vcf", 0x20, "old content"}, {"d\\b.vcf", 0x20, kText}, {"d\\A.VCF", 0x21, "new"}},
            false);
  const std::string direct = Build({{"d\\", 0x10, ""}, {"d\\b.vcf", 0x20, kText}, {"d\\A.VCF", 0x21, "new"}}, false);
  EXPECT_EQ(replaced, direct);
  const std::string batched =
      Build({{"d\\", 0x10, ""}, {"d\\a.vcf", 0x20, "old content"}, {"d\\b.vcf", 0x20, kText}, {"d\\A.VCF", 0x21, "new"}},
            true);
  EXPECT_EQ(batched, direct);
}

TEST(ZipWriter, AddingToAnArchiveWithACommentKeepsTheComment) {
  std::string base = EmptyArchive();
  base[20] = 5;
  base += "hello";
  MemoryStream m(base);
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  zip.AddStreamEntry("a.txt", 0x20, "abc", kStamp, 9);
  const std::string& a = m.Bytes();
  EXPECT_EQ(a.substr(a.size() - 5), "hello");
  EXPECT_EQ(U32(a, a.size() - 27), 0x06054B50u);
}

TEST(ZipReader, ReadsBackWhatWasWritten) {
  MemoryStream m(Build({{"d\\", 0x10, ""}, {"d\\a.vcf", 0x23, kText}, {"d\\e.vcf", 0x20, ""}}, false));
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  ASSERT_EQ(zip.Entries().size(), 3u);
  EXPECT_TRUE(zip.Entries()[0].Folder());
  EXPECT_EQ(zip.Entries()[1].central.name, "d/a.vcf");
  EXPECT_EQ(zip.Entries()[1].central.external_attributes, 0x23u);
  EXPECT_EQ(zip.Entries()[1].central.stamp.time, kStamp.time);
  EXPECT_EQ(zip.FindEntry("D\\A.VCF"), 1);
  EXPECT_EQ(zip.FindEntry("d/missing"), -1);
  EXPECT_EQ(*zip.ReadEntryData(1), kText);
  EXPECT_EQ(*zip.ReadEntryData(2), "");
}

TEST(ZipReader, NotZip) {
  for (const std::string& bytes : {std::string(), std::string(21, 'x'), std::string("PK\x03\x04", 4) + std::string(10, 'x'),
                                   std::string("<html><body>502 Bad Gateway</body></html>\r\n"),
                                   std::string(5000, '\0')}) {
    MemoryStream m(bytes);
    ZipArchive zip{LeadBytes::Cp932()};
    EXPECT_FALSE(zip.Read(m)) << bytes.size();
    EXPECT_TRUE(zip.Entries().empty());
  }
}

TEST(ZipReader, BrokenDirectoryIsNotZip) {
  std::string a = Build({{"a.txt", 0x20, kText}, {"b.txt", 0x20, kText}}, false);
  {
    std::string wrong_count = a;
    wrong_count[a.size() - 14] = 3;  // records on this disk
    MemoryStream m(wrong_count);
    EXPECT_FALSE(ZipArchive(LeadBytes::Cp932()).Read(m));
  }
  {
    std::string wrong_offset = a;
    wrong_offset[a.size() - 6] ^= 0x01;
    MemoryStream m(wrong_offset);
    EXPECT_FALSE(ZipArchive(LeadBytes::Cp932()).Read(m));
  }
}

// An archive of n empty files written record by record, whatever its end
// record's 16-bit count may hold.
std::string EmptyFiles(size_t n) {
  std::string locals, directory;
  for (size_t i = 0; i < n; ++i) {
    CentralRecord r;
    r.name = "AddrBook/" + std::to_string(i) + ".vcf";
    r.local_offset = static_cast<uint32_t>(locals.size());
    LocalHeader h;
    h.name = r.name;
    AppendLocalHeader(locals, h);
    AppendCentralRecord(directory, r);
  }
  EndRecord e;
  e.records_on_disk = e.records_total = static_cast<uint16_t>(n);
  e.directory_size = static_cast<uint32_t>(directory.size());
  e.directory_offset = static_cast<uint32_t>(locals.size());
  return locals + directory + EncodeEndRecord(e);
}

// The directory's records are read up to its size, whatever the 16-bit
// count says: 65,536 entries (count 0) are read whole, as is a count another
// tool left short; a count above what the directory holds, or a size that
// ends inside a record, is a damaged directory. The writer refuses the
// 65,536th entry and an archive past 4 GiB.
TEST(ZipReader, CountOfEntriesNeverCutsTheDirectory) {
  {
    MemoryStream m(EmptyFiles(65536));
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    EXPECT_EQ(zip.End().records_total, 0);
    ASSERT_EQ(zip.Entries().size(), 65536u);
    EXPECT_EQ(zip.FindEntry("AddrBook/65535.vcf"), 65535);
    EXPECT_EQ(*zip.ReadEntryData(65535), "");
  }
  const std::string a = Build({{"a.txt", 0x20, kText}, {"b.txt", 0x20, kText}}, false);
  auto patched = [&](size_t from_end, uint32_t value, int bytes) {
    std::string p = a;
    for (int i = 0; i < bytes; ++i) p[a.size() - from_end + i] = static_cast<char>(value >> (8 * i));
    MemoryStream m(p);
    ZipArchive zip{LeadBytes::Cp932()};
    return zip.Read(m) ? zip.Entries().size() : 0;
  };
  const uint32_t directory_size = U32(a, a.size() - 10);
  EXPECT_EQ(patched(14, 0x00010001, 4), 2u);                 // both counts 1
  EXPECT_EQ(patched(14, 0x00030003, 4), 0u);                 // both counts 3
  EXPECT_EQ(patched(10, directory_size - 1, 4), 0u);         // ends inside the second record
  EXPECT_EQ(patched(10, directory_size + 1, 4), 0u);         // reaches into the end record
  {
    MemoryStream m(EmptyFiles(65535));
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    EXPECT_THROW(zip.AddStreamEntry("AddrBook/one-more.vcf", 0x20, "", kStamp, 9), EArchiveLimit);
    zip.AddStreamEntry("AddrBook/0.VCF", 0x20, "x", kStamp, 9);  // replaces an entry: still 65,535
    EXPECT_EQ(zip.Entries().size(), 65535u);
  }
  MemoryStream m(EmptyArchive());
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  const auto claims = [](uint64_t compressed) {
    return [compressed](ByteStream&, uint64_t) { return ZipArchive::Written{0, 1, kMethodStored, compressed}; };
  };
  const auto described = [](const ZipArchive::Written&) { return ZipArchive::Description{0x20, kStamp, "", {}}; };
  EXPECT_THROW(zip.AddWrittenEntry("big.bin", 0, claims(kMaxArchiveSize), described), EArchiveLimit);
  EXPECT_TRUE(zip.Entries().empty());
}

TEST(ZipReader, AnEntryWithoutADateIsStillRead) {
  // The writer stores time and date 0 for time stamps outside 1980 to 2107; such archives must come back.
  MemoryStream m(Build({{"old.txt", 0x20, kText}}, false));
  ZipArchive writer{LeadBytes::Cp932()};
  ASSERT_TRUE(writer.Read(m));
  writer.AddStreamEntry("older.txt", 0x20, "x", DosStamp{0, 0}, 9);
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  ASSERT_EQ(zip.Entries().size(), 2u);
  EXPECT_FALSE(zip.Entries()[1].Time());
  EXPECT_EQ(*zip.ReadEntryData(1), "x");
}

TEST(ZipReader, WalksLocalHeadersWithoutEndRecord) {
  std::string a = Build({{"d\\", 0x10, ""}, {"d\\a.txt", 0x21, kText}, {"d\\b.txt", 0x20, kText + kText}}, false);
  const size_t directory = U32(a, a.size() - 6);
  MemoryStream m(a.substr(0, directory));
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  ASSERT_EQ(zip.Entries().size(), 3u);
  EXPECT_EQ(zip.Entries()[0].central.external_attributes, 0x10u);
  EXPECT_EQ(zip.Entries()[1].central.external_attributes, 0x20u);
  EXPECT_EQ(zip.End().directory_offset, directory);
  EXPECT_EQ(*zip.ReadEntryData(2), kText + kText);
}

TEST(ZipReader, CutArchiveGivesItsCompleteEntriesAndSkipsTheCutOne) {
  std::string big(20000, '\0');
  std::mt19937 random(7);
  for (char& ch : big) ch = static_cast<char>(random());  // incompressible
  const std::string a = Build({{"a.txt", 0x20, kText}, {"b.bin", 0x20, big}}, false);
  const size_t b_offset = 30 + 5 + U32(a, 18);
  for (size_t cut : {b_offset + 10, b_offset + 30 + 5 + 100, b_offset + 30 + 5 + 19000}) {
    MemoryStream m(a.substr(0, cut));
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    EXPECT_EQ(*zip.ReadEntryData(0), kText);
    if (zip.Entries().size() > 1) {
      EXPECT_FALSE(zip.ReadEntryData(1)) << cut;
    }
  }
}

TEST(ZipReader, StoredEntryCutShortIsSkipped) {
  std::string name = "s.txt";
  LocalHeader h;
  h.method = 0;
  h.crc = Crc32(kText);
  h.compressed_size = h.uncompressed_size = static_cast<uint32_t>(kText.size());
  h.name = name;
  std::string a = EncodeLocalHeader(h) + kText;
  MemoryStream whole(a);
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(whole));
  EXPECT_EQ(*zip.ReadEntryData(0), kText);
  MemoryStream cut(a.substr(0, a.size() - 3));
  ASSERT_TRUE(zip.Read(cut));
  EXPECT_FALSE(zip.ReadEntryData(0));
}

// Damaged data raises when it is read, and keeps the archive from being
// proven whole, as do declared sizes past the proof's bound.
TEST(ZipReader, CrcMismatchAndMalformedDataRaise) {
  std::string a = Build({{"a.txt", 0x20, kText}}, false);
  {
    MemoryStream m(a);
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    EXPECT_TRUE(zip.DecodesWhole(m, kText.size()));
    EXPECT_FALSE(zip.DecodesWhole(m, kText.size() - 1));
  }
  {
    std::string bad_crc = a;
    bad_crc[14] ^= 1;                          // local header
    bad_crc[U32(a, a.size() - 6) + 16] ^= 1;  // central record
    MemoryStream m(bad_crc);
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    EXPECT_THROW(zip.ReadEntryData(0), EDecompressionError);
    EXPECT_FALSE(zip.DecodesWhole(m, 1u << 20));
  }
  {
    std::string bad_data = a;
    bad_data[35] = static_cast<char>(0xFF);  // first deflate block header: reserved block type
    MemoryStream m(bad_data);
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    EXPECT_THROW(zip.ReadEntryData(0), EDecompressionError);
    EXPECT_FALSE(zip.DecodesWhole(m, 1u << 20));
  }
}

// Declared sizes up to what the data could give are read (here: skipped, as
// the data does not give them); above that, or above the format's limit
// (0xFFFFFFFF marks 64-bit records), the entry is refused before decoding.
TEST(ZipReader, DeclaredSizesAboveTheLimitAreRefused) {
  const std::string a = Build({{"a.txt", 0x20, kText}}, false);
  const size_t central = U32(a, a.size() - 6);
  const uint32_t most = U32(a, 18) * kMaxExpansion + kExpansionSlack;  // deflate's greatest expansion
  struct Case {
    size_t local_field, central_field;  // compressed (18, 20) or uncompressed (22, 24) size
    uint32_t value;
    bool refused;
  } cases[] = {
      {22, 24, most, false},
      {22, 24, most + 1, true},
      {22, 24, 0xFFFFFFFF, true},
      {18, 20, kMaxEntrySize + 1, true},
  };
  for (const Case& c : cases) {
    std::string patched = a;
    for (size_t at : {c.local_field, central + c.central_field})
      for (int i = 0; i < 4; ++i) patched[at + i] = static_cast<char>(c.value >> (8 * i));
    MemoryStream m(patched);
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    if (c.refused) {
      EXPECT_THROW(zip.ReadEntryData(0), EDecompressionError) << c.value;
    } else {
      EXPECT_FALSE(zip.ReadEntryData(0)) << c.value;
    }
  }
}

TEST(ZipReader, EncryptedAndUnknownMethodsCannotBeProcessed) {
  for (int variant = 0; variant < 2; ++variant) {
    std::string a = Build({{"a.txt", 0x20, kText}}, false);
    const size_t central = U32(a, a.size() - 6);
    if (variant == 0) {
      a[6] = 1;
      a[central + 8] = 1;
    } else {
      a[8] = 14;
      a[central + 10] = 14;
    }
    MemoryStream m(a);
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    try {
      zip.ReadEntryData(0);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Cannot process this file: a.txt ");
      EXPECT_STREQ(e.KindName(), "Exception");
    }
  }
}

TEST(ZipReader, LocalHeaderMissingAtItsOffsetSkipsTheEntry) {
  std::string a = Build({{"a.txt", 0x20, kText}}, false);
  a[0] = 'X';
  MemoryStream m(a);
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  EXPECT_FALSE(zip.ReadEntryData(0));
}

// What each method makes of whole, cut, short and malformed data: a value,
// nothing (the entry is skipped), or EDecompressionError.
TEST(ZipCodec, DecodesWholeDataAndTellsCutFromMalformed) {
  const std::string deflated = DeflateRaw(kText, 9);
  const uint32_t size = static_cast<uint32_t>(kText.size());
  enum Outcome { kValue, kNothing, kError };
  struct Case {
    const char* what;
    uint16_t method;
    std::string data;
    uint32_t size;
    bool cut;
    Outcome outcome;
    std::string value;
  } cases[] = {
      {"stored", kMethodStored, "abcdef", 4, false, kValue, "abcd"},
      {"stored, short", kMethodStored, "ab", 4, false, kNothing, ""},
      {"deflate", kMethodDeflate, deflated, size, false, kValue, kText},
      {"deflate, cut by the archive's end", kMethodDeflate, deflated.substr(0, 10), size, true, kNothing, ""},
      {"deflate, ends early though whole", kMethodDeflate, deflated.substr(0, 10), size, false, kError, ""},
      {"deflate, gives fewer bytes", kMethodDeflate, deflated, size + 1, false, kNothing, ""},
      {"deflate, gives more bytes", kMethodDeflate, deflated, 5, false, kError, ""},
      {"deflate, claims far more than it can give", kMethodDeflate, deflated, 60u << 20, false, kNothing, ""},
      {"deflate, reserved block type", kMethodDeflate, "\xFF\xFF\xFF", size, false, kError, ""},
      {"bzip2, malformed", kMethodBzip2, "BZh9garbage-garbage-garbage", 10, false, kError, ""},
      {"bzip2, malformed and cut", kMethodBzip2, "BZh9garbage-garbage-garbage", 10, true, kNothing, ""},
      {"above the size limit", kMethodStored, "x", kMaxEntrySize + 1, false, kError, ""},
      {"unknown method", 14, "x", 1, false, kError, ""},
  };
  for (const Case& c : cases) {
    // Decoded in pieces (of three bytes in, as they come out), the same outcome.
    std::string pieces;
    size_t at = 0;
    auto in_pieces = [&] {
      return DecodeEntryPieces(
          c.method,
          [&](char* buffer, size_t size) {
            const size_t n = std::min({size, size_t{3}, c.data.size() - at});
            std::copy_n(c.data.data() + at, n, buffer);
            at += n;
            return n;
          },
          c.size, c.cut, [&](std::string_view piece) { pieces += piece; });
    };
    if (c.outcome == kError) {
      EXPECT_THROW(DecodeEntryData(c.method, c.data, c.size, c.cut), EDecompressionError) << c.what;
      EXPECT_THROW(in_pieces(), EDecompressionError) << c.what;
      continue;
    }
    std::optional<std::string> out = DecodeEntryData(c.method, c.data, c.size, c.cut);
    EXPECT_EQ(out.has_value(), c.outcome == kValue) << c.what;
    const std::optional<uint32_t> crc = in_pieces();
    EXPECT_EQ(crc.has_value(), c.outcome == kValue) << c.what;
    EXPECT_LE(pieces.size(), c.size) << c.what;
    if (out) {
      EXPECT_EQ(*out, c.value) << c.what;
      EXPECT_EQ(pieces, c.value) << c.what;
      EXPECT_EQ(crc, Crc32(c.value)) << c.what;
    }
  }
  // Compressed in pieces: a raw deflate stream of all of it, with its checksum and sizes.
  std::string cards;
  for (int i = 0; i < 40000; ++i) cards += kText + "NOTE:" + std::to_string(i * 7919) + "\r\n";
  std::string deflated_pieces;
  size_t read_at = 0;
  const DeflatedPieces d = DeflatePieces(
      9,
      [&](char* buffer, size_t size) {
        const size_t n = std::min(size, cards.size() - read_at);
        std::copy_n(cards.data() + read_at, n, buffer);
        read_at += n;
        return n;
      },
      [&](std::string_view piece) { deflated_pieces += piece; });
  EXPECT_EQ(d.crc, Crc32(cards));
  EXPECT_EQ(d.size, cards.size());
  EXPECT_EQ(d.compressed, deflated_pieces.size());
  EXPECT_EQ(InflateRawForTest(deflated_pieces, cards.size()), cards);
  // Every level gives a raw deflate stream of the data.
  for (int level : {-1, 0, 1, 6, 9}) EXPECT_EQ(InflateRawForTest(DeflateRaw(kText, level), size), kText) << level;
  // The Windows build deflates with a compressor built for SSE2 where the
  // processor has it: its bytes are those of the plain build's.
  cards.resize(cards.size() / 1000);
  for (int level : {1, 6, 9}) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::string plain(libdeflate_deflate_compress_bound(c, cards.size()), '\0');
    plain.resize(libdeflate_deflate_compress(c, cards.data(), cards.size(), plain.data(), plain.size()));
    libdeflate_free_compressor(c);
    EXPECT_EQ(DeflateRaw(cards, level), plain) << level;
  }
}

// Thousands of cut and bit-flipped archives: reading and decoding them may
// fail with an error, but never crashes, hangs or reads out of bounds.
TEST(ZipFuzz, TruncatedAndBitFlippedArchives) {
  std::string big;
  for (int i = 0; i < 200; ++i) big += kText + std::to_string(i * 7919);
  std::string seed = Build({{"AddrBook\\", 0x10, ""}, {"AddrBook\\a.vcf", 0x21, kText},
                            {"AddrBook\\e.vcf", 0x20, ""}, {"AddrBook\\sub\\", 0x10, ""},
                            {"AddrBook\\sub\\big.vcf", 0x26, big}},
                           false);
  std::mt19937 random(12345);
  int zips = 0, decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string a = seed;
    if (round % 4 == 0) {
      a.resize(random() % a.size());
    } else {
      int flips = 1 + static_cast<int>(random() % 8);
      for (int f = 0; f < flips; ++f) a[random() % a.size()] ^= static_cast<char>(1u << (random() % 8));
      if (round % 4 == 3) a.resize(a.size() - random() % 64);
    }
    MemoryStream m(a);
    ZipArchive zip{LeadBytes::Cp932()};
    if (!zip.Read(m)) continue;
    ++zips;
    for (size_t i = 0; i < zip.Entries().size(); ++i) {
      try {
        if (zip.ReadEntryData(i)) ++decoded;
      } catch (const Exception&) {
      }
      (void)SafeExtractPath(zip.Entries()[i].central.name, LeadBytes::Cp932());
    }
  }
  EXPECT_GT(zips, 1000);
  EXPECT_GT(decoded, 1000);
}

}  // namespace
}  // namespace n2
