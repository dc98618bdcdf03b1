// Names, time stamps, checksums and the end-record search.
#include <gtest/gtest.h>

#include "zip/zip_records.h"

namespace n2 {
namespace {

const LeadBytes& kCp932 = LeadBytes::Cp932();

TEST(ZipNames, NormalizeCutsDrivesAndServers) {
  EXPECT_EQ(NormalizeEntryName("AddrBook\\sub\\a.txt", kCp932), "AddrBook/sub/a.txt");
  EXPECT_EQ(NormalizeEntryName("C:\\data\\a.txt", kCp932), "data/a.txt");
  EXPECT_EQ(NormalizeEntryName("\\\\server\\share\\dir\\a.txt", kCp932), "dir/a.txt");
  EXPECT_EQ(NormalizeEntryName("//server", kCp932), "server");
  EXPECT_EQ(NormalizeEntryName("AddrBook\\", kCp932), "AddrBook/");
}

TEST(ZipNames, RelativeNameIgnoresCaseAndOneSeparator) {
  EXPECT_EQ(RelativeName("C:\\Data\\AddrBook\\a.vcf", "c:\\data\\", kCp932), "AddrBook\\a.vcf");
  EXPECT_EQ(RelativeName("C:\\Data\\AddrBook\\a.vcf", "C:\\Data", kCp932), "AddrBook\\a.vcf");
  EXPECT_EQ(RelativeName("D:\\other\\a.vcf", "C:\\Data\\", kCp932), "D:\\other\\a.vcf");
}

TEST(ZipNames, MaskMatchesTheWholePath) {
  EXPECT_TRUE(WildcardMatch("*.*", "C:\\Data\\AddrBook\\a.vcf", kCp932));
  EXPECT_FALSE(WildcardMatch("*.*", "C:\\Data\\AddrBook\\README", kCp932));
  EXPECT_TRUE(WildcardMatch("*.*", "C:\\Da.ta\\AddrBook\\README", kCp932));  // the dot may be anywhere
  EXPECT_TRUE(WildcardMatch("*.*", "C:\\AddrBook\\\x83.", kCp932));  // a lead byte before it stands alone
  EXPECT_TRUE(WildcardMatch("*.VCF", "x\\a.vcf", kCp932));
  EXPECT_TRUE(WildcardMatch("a?c", "abc", kCp932));
  EXPECT_FALSE(WildcardMatch("a?c", "ac", kCp932));
  EXPECT_FALSE(WildcardMatch("*.txt", std::string(5000, 'a') + ".tx", kCp932));  // no blow-up on long names
  EXPECT_TRUE(WildcardMatch("*", "*:r", kCp932));  // a "*" of the text is no wildcard
}

// Code page 932: second bytes equal to "\", "|" or a letter belong to their character.
TEST(ZipNames, DoubleByteCharactersStayWhole) {
  const std::string so = "\x83\x5C", hyo = "\x95\x5C", ju = "\x8F\x5C", no = "\x94\x5C", yo = "\x97\x5C",
                    po = "\x83\x7C", a = "\x83\x41", di = "\x83\x61", futo = "\x83\x74\x83\x67\x8A\x4A\x94\xAD";
  const std::string software = so + futo, book = "AddrBook\\" + software + "\\" + hyo + ".vcf";
  struct Case {
    std::string got, want;
  } cases[] = {
      {NormalizeEntryName(book, kCp932), "AddrBook/" + software + "/" + hyo + ".vcf"},
      {NormalizeEntryName(ju + no + "\\" + yo + "\x92\xE8.txt", kCp932), ju + no + "/" + yo + "\x92\xE8.txt"},
      {NormalizeEntryName("C:\\" + so + "\\" + hyo, kCp932), so + "/" + hyo},
      {RelativeName("C:\\Data" + so + "\\AddrBook\\" + hyo + ".vcf", "c:\\data" + so + "\\", kCp932),
       "AddrBook\\" + hyo + ".vcf"},
      {RelativeName("C:\\Data" + so + "\\AddrBook", "C:\\Data" + so, kCp932), "AddrBook"},
      {FoldCase(a + ".VCF", kCp932), a + ".vcf"},
      {FoldCase(a, kCp932) == FoldCase(di, kCp932) ? "equal" : "different", "different"},
      {CaseBlindEqual(kCp932)(a + ".VCF", di + ".vcf") ? "equal" : "different", "different"},
      {CaseBlindEqual(kCp932)(so + "AB.VCF", so + "ab.vcf") ? "equal" : "different", "equal"},
      {CaseBlindHash(kCp932)(so + "AB.VCF") == CaseBlindHash(kCp932)(so + "ab.vcf") ? "equal" : "different", "equal"},
      {CaseBlindHash(kCp932)("AddrBook/" + a + "/Card-" + so + "XYZ.VCF") ==
               CaseBlindHash(kCp932)("ADDRBOOK/" + a + "/card-" + so + "xyz.vcf")
           ? "equal"
           : "different",
       "equal"},
      {WildcardMatch("*.*", "C:\\Data\\AddrBook\\" + po + ".vcf", kCp932) ? "match" : "no", "match"},
      {WildcardMatch("*.*", "C:\\" + hyo + "\\" + po, kCp932) ? "match" : "no", "no"},
      {WildcardMatch("?.vcf", hyo + ".vcf", kCp932) ? "match" : "no", "match"},
      {WildcardMatch("??.vcf", hyo + ".vcf", kCp932) ? "match" : "no", "no"},
      {WildcardMatch("*" + a + "*", "x" + di + "y", kCp932) ? "match" : "no", "no"},
      {SafeExtractPath("AddrBook/" + software + "/" + hyo + ".vcf", kCp932)->folder, "AddrBook\\" + software + "\\"},
      {SafeExtractPath("AddrBook/" + software + "/" + hyo + ".vcf", kCp932)->file, hyo + ".vcf"},
      {SafeExtractPath(ju + no + "\\" + yo + ".txt", kCp932)->folder, ju + no + "\\"},
      {SafeExtractPath(ju + no + "\\" + yo + ".txt", kCp932)->file, yo + ".txt"},
      {SafeExtractPath(po + "\x83\x43\x83\x93\x83\x67.vcf", kCp932)->file, po + "\x83\x43\x83\x93\x83\x67.vcf"},
      {SafeExtractPath("AddrBook/" + so + "/", kCp932)->folder, "AddrBook\\" + so + "\\"},
      {SafeExtractPath(so + "/../x", kCp932) ? "kept" : "refused", "refused"},
      {ExcludeTrailingSeparators("C:\\Data" + so + "\\", kCp932), "C:\\Data" + so},
      {IncludeTrailingBackslash("C:\\Data" + so, kCp932), "C:\\Data" + so + "\\"},
      {IncludeTrailingBackslash("C:\\Data\\", kCp932), "C:\\Data\\"},
      // Older packers wrote every byte 0x5C as "/": a lead byte and "/" is that character.
      {NormalizeEntryName("AddrBook/\x95/.vcf", kCp932), "AddrBook/" + hyo + ".vcf"},
      {NormalizeEntryName("AddrBook\\\x83/" + futo + "\\x.vcf", kCp932), "AddrBook/" + software + "/x.vcf"},
      {NormalizeEntryName("\x83\x83/x", kCp932), "\x83\x83/x"},  // a whole character, then a separator
      {IsNormalEntryName("AddrBook/\x95/.vcf", kCp932) ? "normal" : "not", "not"},
      {IsNormalEntryName("AddrBook/" + so + "/" + hyo + ".vcf", kCp932) ? "normal" : "not", "normal"},
      {IsNormalEntryName("AddrBook\\x.vcf", kCp932) ? "normal" : "not", "not"},
      {IsNormalEntryName("AddrBook//x.vcf", kCp932) ? "normal" : "not", "not"},
      {IsNormalEntryName("C:/AddrBook/x.vcf", kCp932) ? "normal" : "not", "not"},
      {SafeExtractPath("AddrBook/\x83/" + futo + "/x.vcf", kCp932)->folder, "AddrBook\\" + software + "\\"},
      {SafeExtractPath("AddrBook/\x95/.vcf", kCp932)->file, hyo + ".vcf"},
      // A byte that is never a second byte after a lead byte is a character of its own.
      {std::to_string(FindChar("ou\x87\x87\x87:s", ':', kCp932)), "5"},
      {std::to_string(FindChar("\x87/", '/', kCp932)), "1"},
      {std::to_string(FindChar("\x87\x7F", '\x7F', kCp932)), "1"},
      // Single-byte code page: the same bytes hold a separator.
      {NormalizeEntryName(hyo + ".vcf", LeadBytes()), "\x95/.vcf"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(ZipNames, ExtractPathKeepsEntriesInsideTheTarget) {
  auto p = SafeExtractPath("AddrBook/sub/a.vcf", kCp932);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->folder, "AddrBook\\sub\\");
  EXPECT_EQ(p->file, "a.vcf");
  p = SafeExtractPath("AddrBook/", kCp932);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->folder, "AddrBook\\");
  EXPECT_EQ(p->file, "");
  EXPECT_EQ(SafeExtractPath("a//b.txt", kCp932)->folder, "a\\");
  for (const char* hostile : {"../evil.txt", "AddrBook/../../evil.txt", "..\\evil.txt", "/abs.txt", "\\abs.txt",
                              "C:/drive.txt", "C:drive.txt", "//server/share/unc.txt", "\\\\server\\share\\x",
                              "a/.../b.txt", "a/ ../b", "file.txt:stream", "AddrBook/CON", "AddrBook/nul.txt",
                              "com1", "a/lpt9.vcf", "", "a/b\x01.txt", "a|b.vcf", "AddrBook/ou\x87\x87\x87:s.vcf",
                              "a/b\x87\x01.txt", "a/\x87*.vcf", "\x87//../x"}) {
    EXPECT_FALSE(SafeExtractPath(hostile, kCp932)) << hostile;
  }
}

TEST(ZipStamps, DosTimeAndDate) {
  DosStamp s = EncodeDosStamp({2024, 2, 29, 23, 59, 59});
  EXPECT_EQ(s.time, (59 / 2) | (59 << 5) | (23 << 11));
  EXPECT_EQ(s.date, 29 | (2 << 5) | ((2024 - 1980) << 9));
  auto back = DecodeDosStamp(s);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->second, 58);  // two-second resolution
  EXPECT_EQ(EncodeDosStamp({1979, 12, 31, 23, 59, 59}).date, 0);
  EXPECT_EQ(EncodeDosStamp({1979, 12, 31, 23, 59, 59}).time, 0);
  EXPECT_EQ(EncodeDosStamp({2108, 1, 1, 0, 0, 0}).date, 0);
  EXPECT_NE(EncodeDosStamp({2107, 12, 31, 0, 0, 0}).date, 0);
  EXPECT_EQ(EncodeDosStamp({1980, 1, 1, 0, 0, 0}).date, (1 << 5) | 1);
  EXPECT_FALSE(DecodeDosStamp({0, 0}));
  EXPECT_FALSE(DecodeDosStamp({0, static_cast<uint16_t>(30 | (2 << 5))}));  // 30 February
}

TEST(ZipChecksum, StandardCheckValue) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
}

// A card's identity block: what it was made over goes to the directory
// record only, and a block reads no more than it holds.
TEST(ZipIdentityField, ReadsBackWhatItHoldsAndNoMore) {
  const CardIdentity made{0x1122334455667788, 0x99, SeenVersions::Parse("a:1,b:2")};
  const std::string central = EncodeIdentityField(made, true), local = EncodeIdentityField(made, false);
  EXPECT_EQ(local.size(), 22u);  // the earlier builds' block
  EXPECT_EQ(central.size(), 22u + 2 + 32);
  EXPECT_EQ(IdentityInExtraField(central)->Text(), "1122334455667788.99/a:1,b:2");
  EXPECT_EQ(IdentityInExtraField(local)->Text(), "1122334455667788.99");  // tells nothing of its past
  EXPECT_EQ(IdentityInExtraField(EncodeIdentityField(CardIdentity{5, 6, SeenVersions()}, true))->Text(), "5.6/-");
  // Behind another tool's block; cut short; announcing more than it holds.
  EXPECT_EQ(IdentityInExtraField(std::string("\x55\x54\x01\x00\x07", 5) + central)->Text(), made.Text());
  EXPECT_EQ(IdentityInExtraField(central.substr(0, central.size() - 1)), std::nullopt);
  std::string overstated = central;
  overstated[22] = 3;
  EXPECT_EQ(IdentityInExtraField(overstated)->Text(), "1122334455667788.99");
  // More than an office has installations: told as nothing.
  SeenVersions many;
  for (uint64_t i = 1; i <= kMostIdentityOver + 1; ++i) many.Add(CardIdentity{i, i});
  EXPECT_EQ(IdentityInExtraField(EncodeIdentityField(CardIdentity{5, 6, many}, true))->over, std::nullopt);
}

std::string EndRecordAt(size_t before, size_t after) {
  std::string s(before, 'x');
  s += EncodeEndRecord(EndRecord{});
  s += std::string(after, 'y');
  return s;
}

TEST(ZipEndRecord, SearchRanges) {
  {
    MemoryStream m(EndRecordAt(0, 0));
    EXPECT_EQ(FindEndRecord(m), 0u);
  }
  {
    MemoryStream m(EndRecordAt(10, 256));  // the last position the first range tests
    EXPECT_EQ(FindEndRecord(m), 10u);
  }
  {
    MemoryStream m(EndRecordAt(10, 257));  // just out of reach for a stream under 1 KB
    EXPECT_FALSE(FindEndRecord(m));
  }
  {
    MemoryStream m(EndRecordAt(2000, 1000));  // second range, stream of at least 1 KB
    EXPECT_EQ(FindEndRecord(m), 2000u);
  }
  {
    MemoryStream m(EndRecordAt(70000, 60000));  // third range, stream of at least 64 KB
    EXPECT_EQ(FindEndRecord(m), 70000u);
  }
  {
    MemoryStream m(EndRecordAt(70000, 66560));
    EXPECT_EQ(FindEndRecord(m), 70000u);
  }
  {
    MemoryStream m(EndRecordAt(70000, 66561));
    EXPECT_FALSE(FindEndRecord(m));
  }
  {
    MemoryStream m(EndRecordAt(2000, 1280));
    EXPECT_EQ(FindEndRecord(m), 2000u);
  }
  {
    MemoryStream m(EndRecordAt(2000, 1281));  // beyond the second range, too short for the third
    EXPECT_FALSE(FindEndRecord(m));
  }
  {
    // "P" bytes before the record make the search step by 4; it must still find it.
    MemoryStream m(std::string(40, 'P') + EncodeEndRecord(EndRecord{}) + std::string(3, 'P'));
    EXPECT_EQ(FindEndRecord(m), 40u);
  }
  {
    MemoryStream m(std::string(21, 'x'));
    EXPECT_FALSE(FindEndRecord(m));
  }
}

}  // namespace
}  // namespace n2
