// The merge rules: each card goes the way of whoever changed it, and a card
// met for the first time takes the office's version.
#include <gtest/gtest.h>

#include "sync/merge_rules.h"

namespace n2 {
namespace {

const LeadBytes& kLead = LeadBytes::Cp932();

CardContent Card(uint32_t size, uint32_t crc, uint32_t attributes = 0) { return CardContent{size, crc, attributes, false}; }

// A local file of the given content; counts how often its checksum is read.
LocalFile Local(const CardContent& c, int* reads) {
  LocalFile f;
  f.exists = true;
  f.stamp.size = c.size;
  f.stamp.attributes = c.attributes | kAttrArchive;
  f.crc = [c, reads] {
    ++*reads;
    return c.crc;
  };
  f.identity = [c] { return c.identity; };
  return f;
}

TEST(MergeRules, EachCardGoesTheWayOfWhoeverChangedIt) {
  const CardContent v0 = Card(10, 0x100), v1 = Card(10, 0x101), v2 = Card(12, 0x102);
  const CardContent v0_read_only = Card(10, 0x100, kAttrReadOnly), v0_hidden = Card(10, 0x100, kAttrHidden);
  BookContent book(kLead);
  book.Add("AddrBook/A.vcf", v0);
  TAgreedRecord agreed(kLead), unknown(kLead), partial(kLead);
  agreed.Agree(book, "ftp://server /");
  partial.AgreeOn("AddrBook/A.vcf", v0, "ftp://server /");
  // The local file keeps v1 (of identity 1.2) against a stale copy of v0
  // (1.1), which the record agrees with; 1.3 is the author's next version,
  // 2.4 one of another installation's, maybe made over v0.
  CardContent v0_1 = v0, v1_2 = v1, v2_3 = v2, v2_other = v2;
  v0_1.identity = CardIdentity{1, 1}, v1_2.identity = CardIdentity{1, 2}, v2_3.identity = CardIdentity{1, 3};
  v2_other.identity = CardIdentity{2, 4};
  TAgreedRecord kept(kLead);
  BookContent held(kLead), stale(kLead);
  held.Add("AddrBook/A.vcf", v1_2);
  stale.Add("AddrBook/A.vcf", v0_1);
  kept.Agree(held, "ftp://server /");
  kept.Agree(stale, "ftp://server /");
  // Versions that tell what they were made over: of v0 (1.1) or of v1
  // (1.2), or of neither (a colleague's edit of an older version, whose
  // upload replaced the agreed one unseen: a conflict for its author,
  // installation 1, and news for anyone else).
  TAgreedRecord identified(kLead), bystander(kLead);
  identified.SetInstallation(1);  // the agreed v0 is its own
  identified.Agree(stale, "ftp://server /");
  bystander.SetInstallation(3);
  bystander.Agree(stale, "ftp://server /");
  CardContent v2_over_v0 = v2, v2_over_v1 = v2, v2_over_none = v2;
  v2_over_v0.identity = CardIdentity{2, 4, SeenVersions::Parse("1:1")};
  v2_over_v1.identity = CardIdentity{2, 4, SeenVersions::Parse("1:2")};
  v2_over_none.identity = CardIdentity{2, 4, SeenVersions::Parse("-")};
  struct Case {
    const char* what;
    const TAgreedRecord& rules;
    const char* name;
    std::optional<CardContent> local;
    CardContent server;
    TCardRule action;
    bool replace_read_only;
    bool reads;  // whether the local file's checksum is needed
  } cases[] = {
      {"nobody changed it", agreed, "AddrBook/a.vcf", v0, v0, TCardRule::kKeepLocal, false, false},
      {"the server changed it", agreed, "AddrBook/a.vcf", v0, v1, TCardRule::kTakeServer, true, true},
      {"this installation changed it", agreed, "AddrBook/a.vcf", v1, v0, TCardRule::kKeepLocal, false, false},
      {"both made the same change", agreed, "addrbook/A.VCF", v1, v1, TCardRule::kKeepLocal, false, true},
      {"both changed it differently", agreed, "AddrBook/a.vcf", v1, v2, TCardRule::kSaveServerCopy, false, true},
      {"it is missing here", agreed, "AddrBook/a.vcf", std::nullopt, v1, TCardRule::kTakeServer, false, false},
      {"only the server's attributes changed", agreed, "AddrBook/a.vcf", v0, v0_read_only,
       TCardRule::kTakeServer, true, true},
      {"only the local attributes changed", agreed, "AddrBook/a.vcf", v0_hidden, v0, TCardRule::kKeepLocal, false,
       false},
      {"both changed only attributes", agreed, "AddrBook/a.vcf", v0_hidden, v0_read_only, TCardRule::kKeepLocal,
       false, true},
      {"new on both sides, alike", agreed, "AddrBook/new.vcf", v1, v1, TCardRule::kKeepLocal, false, true},
      {"new on both sides, different", agreed, "AddrBook/new.vcf", v1, v2, TCardRule::kSaveServerCopy, false, false},
      // A version kept against a stale copy is no news of this installation.
      {"kept against a stale copy, then a newer version", kept, "AddrBook/a.vcf", v1_2, v2_3,
       TCardRule::kTakeServer, true, true},
      {"kept against a stale copy, then one without identity", kept, "AddrBook/a.vcf", v1_2, v2,
       TCardRule::kSaveServerCopy, false, true},
      {"kept against a stale copy, then another's version", kept, "AddrBook/a.vcf", v1_2, v2_other,
       TCardRule::kSaveServerCopy, false, true},
      {"kept against a stale copy, then changed here", kept, "AddrBook/a.vcf", v1, v2_3, TCardRule::kSaveServerCopy,
       false, true},
      {"the stale copy again", kept, "AddrBook/a.vcf", v1_2, v0_1, TCardRule::kKeepLocal, false, false},
      {"kept against a stale copy, then another's version made over it", kept, "AddrBook/a.vcf", v1_2,
       v2_over_v1, TCardRule::kTakeServer, true, true},
      {"kept against a stale copy, then another's version made over the stale one", kept, "AddrBook/a.vcf", v1_2,
       v2_over_v0, TCardRule::kSaveServerCopy, false, true},
      {"a colleague's edit made over the agreed version", identified, "AddrBook/a.vcf", v0_1, v2_over_v0,
       TCardRule::kTakeServer, true, true},
      {"a colleague's edit made without the agreed version", identified, "AddrBook/a.vcf", v0_1, v2_over_none,
       TCardRule::kSaveServerCopy, false, true},
      {"a colleague's edit made without another's agreed version", bystander, "AddrBook/a.vcf", v0_1, v2_over_none,
       TCardRule::kTakeServer, true, true},
      // First contact: the office's version stays in the book, a local one of
      // other content is saved aside first.
      {"first contact, other content", unknown, "AddrBook/a.vcf", v1, v2, TCardRule::kTakeServerSaveLocal, true,
       false},
      {"first contact, same content", unknown, "AddrBook/a.vcf", v1, v1, TCardRule::kKeepLocal, false, true},
      {"first contact, other attributes", unknown, "AddrBook/a.vcf", v0_hidden, v0, TCardRule::kTakeServer, true,
       true},
      {"first contact, missing here", unknown, "AddrBook/a.vcf", std::nullopt, v1, TCardRule::kTakeServer, false,
       false},
      {"partial record, a card it knows", partial, "AddrBook/a.vcf", v1, v2, TCardRule::kSaveServerCopy, false,
       true},
      {"partial record, a card it does not know", partial, "AddrBook/new.vcf", v1, v2,
       TCardRule::kTakeServerSaveLocal, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int reads = 0;
    const LocalFile local = c.local ? Local(*c.local, &reads) : LocalFile{};
    const TCardDecision d = DecideCard(c.rules, c.name, c.server, local);
    EXPECT_EQ(d.rule, c.action);
    EXPECT_EQ(d.replace_read_only, c.replace_read_only);
    EXPECT_EQ(reads > 0, c.reads);
    // The local card is sent again over an edit made without it.
    EXPECT_EQ(d.send_again, std::string_view(c.what).find("without the agreed") != std::string_view::npos);
  }
}

}  // namespace
}  // namespace n2
