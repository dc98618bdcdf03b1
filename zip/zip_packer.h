// Packing a folder tree into a new zip archive: every file and folder under
// its path relative to a root, files compressed with deflate (empty ones
// stored), folders as entries of their own. A file that has not changed since
// the last pack or unpack (the index vouches for its size and time) is not
// read again: its compressed data is copied from the archive that pack or
// unpack left.
//
// Order of the entries: the packed folder's own entry, then what the file
// system lists of it, a subfolder's entry right before that subfolder's own
// entries, depth first. Only names with a "." somewhere in the full path are
// packed ("*.*"). Each entry keeps its file's attributes and last-write time
// (local time), a folder entry its folder's.
//
// A file is packed as it was while it was read: one that changes while it is
// read is read again, and the entry and the index take the stamp it had then,
// not the listing's. A file deleted after the listing is left out.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.h"
#include "base/file_system.h"
#include "base/growing_file.h"
#include "base/thread_cache.h"
#include "state/file_index.h"
#include "zip/zip_archive.h"

namespace n2 {

// What a pack may take over from the last pack or unpack, besides the
// archive it left (PackRequest::previous_archive).
struct PackPrevious {
  // What that pack or unpack saw of each file (it outlives the pack; a book
  // of 60,000 cards keeps no copy); none: every file is read.
  const FileIndex* index = nullptr;
  // The previous archive is one whose data is proven, unchanged since
  // (FileIndex::ProvenArchive): its data is taken without a second check.
  bool archive_is_proven = false;
};

struct PackRequest {
  TFileSystem* fs = nullptr;
  const LeadBytes* lead = nullptr;
  // Entry names are relative to root, which ends with a separator.
  std::string root;
  // The folder packed with all its subfolders, without a trailing separator.
  std::string folder;
  // The archive written, created anew; the caller puts it in place afterwards.
  std::string archive;
  // Deflate level on zlib's scale (9: smallest).
  int level = 9;
  // The archive the last pack or unpack left (a missing or damaged file is
  // no error); empty: none. Its data is taken only with an index.
  std::string previous_archive;
  // Called once, on a thread of its own while the packing thread reads the
  // previous archive's directory and another thread lists the tree, so that
  // reading the index costs no time of its own. May be empty: every file is
  // read.
  std::function<PackPrevious()> previous;
  // The identity of a card version, asked for every file as it is added (in
  // order, on one thread) with its name and what was packed of it; it goes
  // into the entry's extra field and the index. May be empty: no identities.
  std::function<std::optional<CardIdentity>(std::string_view name, const IndexedFile& packed)> identify;
  // Where the listing, the reading of the index and the reading and
  // compressing of the files run; null: threads of the pack's own.
  ThreadCache* threads = nullptr;
  // The archive file as it grows, for a reader on another thread: told how
  // many bytes from its start are final as entries reach the file, whole at
  // the end, failed when the pack fails or moves bytes it told final. May be
  // null.
  GrowingFile* growing = nullptr;
};

struct PackResult {
  // The archive's entries, in order.
  std::vector<ZipEntry> entries;
  // What was packed: each file's stamp as it was read and its checksum,
  // taken at the file system's time when the listing began.
  FileIndex index;
  // Files read and compressed; the others' data came from the previous archive.
  size_t files_read = 0;
};

// Raises the first error met: a file that cannot be read (it is held open
// against reading, say), an archive that cannot be written (a full disk). The
// archive file is then incomplete, and the caller drops it.
PackResult PackFolder(const PackRequest& request);

}  // namespace n2
