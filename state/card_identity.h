// Every version of a card carries an identity in the archive: the
// installation that made the version and a stamp that grows with each
// version that installation makes. A card's content changing makes a new
// identity (even back to bytes it once held); an unchanged card keeps the
// identity it arrived with. An installation remembers, per card, the latest
// stamp of each installation whose versions it has held or superseded: a
// server's card whose identity that covers, and which is not the agreed one,
// is a stale copy (sent back by an upload that lost a race), never news.
// A version also tells the versions it was made over. A server's card made
// without the version this installation agreed on is a colleague's edit made
// over an older one, whose upload replaced this installation's unseen: two
// edits of one card, kept both, as any conflict is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace n2 {

struct CardIdentity;

// The versions of one card an installation has held or superseded: for each
// installation the latest stamp.
class SeenVersions {
 public:
  void Add(const CardIdentity& identity);
  void Add(const SeenVersions& other);
  // Whether identity is one of them, or older than one of them.
  bool Covers(const CardIdentity& identity) const;
  bool Empty() const { return latest_.empty(); }
  // Forgets the versions of one installation.
  void Remove(uint64_t installation);
  // Calls visit(installation, latest stamp) for each installation.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const auto& [installation, stamp] : latest_) visit(installation, stamp);
  }

  // "-" when empty, else "installation:stamp,..." in hexadecimal.
  std::string Text() const;
  void AppendText(std::string& out) const;
  static std::optional<SeenVersions> Parse(std::string_view text);

 private:
  std::vector<std::pair<uint64_t, uint64_t>> latest_;  // installation, latest stamp
};

struct CardIdentity {
  uint64_t installation = 0;
  uint64_t stamp = 0;
  // The versions this one was made over: those of other installations that
  // its maker had held or superseded then (its own installation's earlier
  // versions always are). Unknown for versions made by earlier builds.
  std::optional<SeenVersions> over;

  CardIdentity() = default;
  CardIdentity(uint64_t installation, uint64_t stamp, std::optional<SeenVersions> over = std::nullopt)
      : installation(installation), stamp(stamp), over(std::move(over)) {}

  // Two identities are the same version whatever each tells of its past.
  bool operator==(const CardIdentity& other) const {
    return installation == other.installation && stamp == other.stamp;
  }
  // Whether this version was made over earlier (or is it); nothing when
  // that cannot be told.
  std::optional<bool> Follows(const CardIdentity& earlier) const;
  // "installation.stamp" in hexadecimal, followed by "/" and the versions
  // made over (as SeenVersions writes them) when they are known.
  std::string Text() const;
  void AppendText(std::string& out) const;
  static std::optional<CardIdentity> Parse(std::string_view text);
};

}  // namespace n2
