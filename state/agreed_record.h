// What an installation has agreed with the server it shares its book through:
// the content of the server's book that it last took into account (what its
// last upload sent, what its last complete download or merge fetched), and
// which server that was. Jobs compare every card three ways with it (the
// agreed version, the local file, the server's entry) to tell whose news a
// difference is.
//
// A record is complete, partial or missing. Complete: every card of the
// server's book was taken into account. Partial: a first contact (no record,
// or one of another server) that ended before it was done; the cards it names
// agree, the others are still met for the first time. Missing: nothing agreed.
// A record names its server (type, host, folder): read for another server it
// is missing. Records of the earlier form, which named none, are taken as
// made with the server configured now.
#pragma once

#include <string>
#include <string_view>

#include "base/code_page.h"
#include "state/book_content.h"

namespace n2 {

enum class TAgreement { kMissing, kPartial, kComplete };

class TAgreedRecord {
 public:
  explicit TAgreedRecord(const LeadBytes& lead) : book_(lead) {}

  TAgreement State() const { return state_; }
  bool Complete() const { return state_ == TAgreement::kComplete; }
  bool Missing() const { return state_ == TAgreement::kMissing; }
  const std::string& Server() const { return server_; }
  const BookContent& Book() const { return book_; }
  // The agreed version of a card, if any.
  const CardContent* Find(std::string_view name) const { return book_.Find(name); }

  // The whole book of server agrees now. The versions the record held or
  // saw before are remembered as seen, with the new ones.
  void Agree(BookContent book, std::string server);
  // The record as it would be after Agree, this one left as it is.
  TAgreedRecord Agreed(BookContent book, std::string server) const;
  // One card agrees now; a missing record becomes a partial one of server.
  void AgreeOn(std::string name, const CardContent& card, const std::string& server);

  // Whether identity is a version of card name that this installation has
  // held or superseded (the agreed one included).
  bool Seen(std::string_view name, const CardIdentity& identity) const;
  // The same, other than the agreed one: a stale copy.
  bool Stale(std::string_view name, const CardIdentity& identity) const;

  // This installation's identities: a random number chosen once (0 until
  // then), and a stamp that only grows. A new identity's stamp is at least
  // now (units of a file time) and above every earlier one. A new version
  // of card name is made over every version of it this installation has
  // held or superseded.
  uint64_t Installation() const { return installation_; }
  void SetInstallation(uint64_t installation) { installation_ = installation; }
  CardIdentity NewIdentity(std::string_view name, uint64_t now);

  // What the server told of the archive whose content the record took in
  // (its ETag and Last-Modified, or its FTP size and time): while the server
  // tells the same, its archive is this one. Empty when unknown.
  const std::string& Validator() const { return validator_; }
  void SetValidator(std::string validator) { validator_ = std::move(validator); }

  // The record as text; read for server: another server's record, a damaged
  // or empty text read as missing.
  std::string Text() const { return Text(CardLines()); }
  // The same in two steps: the lines of the cards (nearly all of the text,
  // made ready while the book travels), then the whole text with them.
  std::string CardLines() const;
  std::string Text(std::string_view card_lines) const;
  static TAgreedRecord Parse(std::string_view text, const LeadBytes& lead, const std::string& server);

 private:
  TAgreement state_ = TAgreement::kMissing;
  std::string server_;
  BookContent book_;
  uint64_t installation_ = 0;
  uint64_t last_stamp_ = 0;
  std::string validator_;
};

}  // namespace n2
