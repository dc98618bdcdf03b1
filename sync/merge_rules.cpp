#include "sync/merge_rules.h"

namespace n2 {
namespace {

// Whether the local file holds card (its bytes, and its attributes when asked).
bool Holds(const LocalFile& local, const CardContent& card, bool with_attributes) {
  if (!local.exists || card.folder || local.stamp.size != card.size) return false;
  if (with_attributes && (local.stamp.attributes & CardContent::kCountedAttributes) !=
                             (card.attributes & CardContent::kCountedAttributes))
    return false;
  return local.Crc() == card.crc;
}

}  // namespace

CardContent CardOf(const ZipEntry& entry, const LeadBytes& lead) {
  return CardOf(entry, NormalizeEntryName(entry.central.name, lead), lead);
}

CardContent CardOf(const ZipEntry& entry, std::string_view normal_name, const LeadBytes& lead) {
  CardContent card;
  card.folder = entry.Folder() || EndsWithChar(normal_name, '/', lead);
  if (!card.folder) {
    card.size = entry.central.uncompressed_size;
    card.crc = entry.central.crc;
    card.attributes = entry.central.external_attributes & CardContent::kCountedAttributes;
    card.identity = IdentityInExtraField(entry.central.extra);
  }
  return card;
}

BookContent BookOf(const std::vector<ZipEntry>& entries, const LeadBytes& lead) {
  BookContent book(lead);
  std::string name;
  for (const ZipEntry& e : entries) {
    NormalizeEntryName(e.central.name, lead, name);
    // The first entry of a name counts.
    if (StartsCaseBlind(name, kBookPrefix, lead)) book.AddNew(name, CardOf(e, name, lead));
  }
  return book;
}

TCardDecision DecideCard(const TAgreedRecord& record, std::string_view name, const CardContent& server,
                         const LocalFile& local) {
  if (!local.exists) return {TCardRule::kTakeServer, false};
  const CardContent* agreed = record.Find(name);
  if (server.identity && record.Stale(name, *server.identity)) {
    // A stale copy: the local card is newer, or the same.
    const bool newer = !Holds(local, server, true);
    return {TCardRule::kKeepLocal, false, newer, newer};
  }
  if (!agreed && !record.Complete()) {
    // Met for the first time: the office's version stays in the book.
    if (Holds(local, server, true)) return {TCardRule::kKeepLocal, false};
    if (local.stamp.size == server.size && local.Crc() == server.crc) return {TCardRule::kTakeServer, true};
    return {TCardRule::kTakeServerSaveLocal, true};
  }
  // The server's card is the agreed one: whatever the local file holds is
  // either that too or news of this installation.
  if (agreed && *agreed == server) return {TCardRule::kKeepLocal, false};
  if (Holds(local, server, true)) return {TCardRule::kKeepLocal, false};
  // Both sides changed the card. Equal bytes under other attributes need no copy.
  const auto both_changed = [&]() -> TCardDecision {
    if (Holds(local, server, false)) return {TCardRule::kKeepLocal, false};
    return {TCardRule::kSaveServerCopy, false};
  };
  if (agreed && Holds(local, *agreed, true)) {
    // A version made without the agreed one, which this installation made: a
    // colleague edited an older version, and its upload replaced this one's
    // edit unseen. Two edits of the card: the local one stays, and unless the
    // two hold the same bytes it is sent again over the colleague's (with an
    // identity that follows it). Others who held the replaced version take
    // the colleague's quietly: its author tells the conflict, once.
    if (server.identity && agreed->identity && record.Installation() != 0 &&
        agreed->identity->installation == record.Installation() &&
        server.identity->Follows(*agreed->identity) == false) {
      TCardDecision decision = both_changed();
      decision.send_again = decision.rule == TCardRule::kSaveServerCopy;
      return decision;
    }
    return {TCardRule::kTakeServer, true};
  }
  // The local file holds a version this installation has had from the
  // server (one kept against a stale copy, say): no news of its own. The
  // server's version made over it goes over it as over the agreed one: one
  // that tells what it was made over, or a later version by the same
  // installation. A version of anyone else that does not tell may have been
  // made without it: the table holds.
  if (agreed && server.identity)
    if (const std::optional<CardIdentity> held = local.Identity();
        held && record.Seen(name, *held) && server.identity->Follows(*held) == true)
      return {TCardRule::kTakeServer, true};
  return both_changed();
}

}  // namespace n2
