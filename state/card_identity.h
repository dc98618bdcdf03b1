// Every version of a card carries an identity in the archive: the
// installation that made the version and a stamp that grows with each
// version that installation makes. A card's content changing makes a new
// identity (even back to bytes it once held); an unchanged card keeps the
// identity it arrived with. An installation remembers, per card, the latest
// stamp of each installation whose versions it has held or superseded: a
// server's card whose identity that covers, and which is not the agreed one,
// is a stale copy (sent back by an upload that lost a race), never news.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace n2 {

struct CardIdentity {
  uint64_t installation = 0;
  uint64_t stamp = 0;

  bool operator==(const CardIdentity&) const = default;
  // "installation.stamp" in hexadecimal.
  std::string Text() const;
  void AppendText(std::string& out) const;
  static std::optional<CardIdentity> Parse(std::string_view text);
};

// The versions of one card an installation has held or superseded: for each
// installation the latest stamp.
class SeenVersions {
 public:
  void Add(const CardIdentity& identity);
  void Add(const SeenVersions& other);
  // Whether identity is one of them, or older than one of them.
  bool Covers(const CardIdentity& identity) const;
  bool Empty() const { return latest_.empty(); }

  // "-" when empty, else "installation:stamp,..." in hexadecimal.
  std::string Text() const;
  void AppendText(std::string& out) const;
  static std::optional<SeenVersions> Parse(std::string_view text);

 private:
  std::vector<std::pair<uint64_t, uint64_t>> latest_;  // installation, latest stamp
};

}  // namespace n2
