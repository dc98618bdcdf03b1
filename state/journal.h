// The journal of a job that puts the server's cards in place. Before a window
// of cards is put in place, one line per card says which version will agree
// once it is there, and where to look to tell: the card's own file (or, for
// a conflict, the copy saved of the server's version) holding that version's
// bytes, or a folder existing. The lines reach the disk before the first
// card of the window moves. A job that ends normally writes the agreed record
// and removes its journal; after a crash the next job reads the journal, and
// every card whose file shows it arrived agrees, so that the record says
// exactly which cards agree, never more and never less.
//
// Each line carries a checksum of its own: a line cut short by the crash, and
// everything after it, is not read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.h"
#include "state/book_content.h"

namespace n2 {

struct JournalLine {
  std::string name;        // entry name of the card or folder
  CardContent card;        // the version that agrees once it is in place
  std::string check_path;  // the file holding its bytes then, or the folder existing
};

struct Journal {
  std::string server;  // the server the job shared the book with
  std::vector<JournalLine> lines;
};

std::string JournalHeader(const std::string& server);
void AppendJournalLine(std::string& out, const JournalLine& line);
// The journal's lines up to the first damaged one; nothing when even its
// header is damaged.
std::optional<Journal> ParseJournal(std::string_view text);

}  // namespace n2
