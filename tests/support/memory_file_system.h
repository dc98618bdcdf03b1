// A file system held in memory, for tests of the packing, the unpacking and
// the sync engine that run natively: paths compared without regard to case,
// a clock that moves only when told (every write stamps the file with it),
// files that other programs hold open, and a hook that runs before every
// operation, through which a test makes one fail, changes a file "while the
// job runs", or stops the job dead as a crash would.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/code_page.h"
#include "base/file_system.h"

namespace n2test {

// What a hook is told of an operation before it runs.
enum class FsOp { kList, kStat, kRead, kWrite, kAppend, kRename, kSetAttributes, kDelete, kMakeFolder, kRemoveFolder, kOpenStream,
                  kCreateStream, kStreamWrite, kSync };

// Thrown by a hook to end a job the way a power loss would: nothing after it
// runs, and nothing catches it as an error of the job.
struct Crash {};

class MemoryFileSystem : public n2::TFileSystem {
 public:
  explicit MemoryFileSystem(const n2::LeadBytes& lead = n2::LeadBytes::Cp932());

  // ---- Test set-up and inspection (these never call the hook) ----
  // Creates or replaces a file (its folders too), stamped with the clock.
  void Put(const std::string& path, const std::string& content, uint32_t attributes = n2::kAttrArchive);
  void PutFolder(const std::string& folder);
  bool Exists(const std::string& path) const;
  std::optional<std::string> Content(const std::string& path) const;
  // Every file below folder (relative name -> content), folders as "name\".
  std::map<std::string, std::string> Tree(const std::string& folder) const;
  void Remove(const std::string& path);
  // Listings and looks show the file at path with this size, whatever it
  // holds: a card too large to keep in a test.
  void ShowSize(const std::string& path, uint64_t size);
  // Moves the clock (seconds).
  void Advance(int seconds) { now_ += static_cast<uint64_t>(seconds) * 10'000'000ull; }
  // Another program holds path open: it cannot be replaced, renamed or deleted,
  // and with deny_read not read either.
  void Hold(const std::string& path, bool deny_read = false);
  void Release(const std::string& path);
  // Free space; writes beyond it fail as a full disk does. Unlimited at first.
  void SetFreeSpace(std::optional<uint64_t> bytes) { free_space_ = bytes; }
  // Runs before every operation of the interface, on the calling thread,
  // with the path it concerns. It may change the file system, or throw.
  std::function<void(FsOp, const std::string&)> before;
  // How many times each kind of operation ran.
  int Count(FsOp op) const;

  // ---- TFileSystem ----
  bool List(const std::string& folder, const std::function<void(const n2::ListedItem&)>& found) override;
  std::optional<n2::FileStamp> Stat(const std::string& path) override;
  std::string ReadFile(const std::string& path, n2::FileStamp* stamp) override;
  bool WriteFile(const std::string& path, std::string_view data, uint32_t attributes, bool must_be_new, bool flush,
                 n2::FileStamp* stamp) override;
  void AppendFile(const std::string& path, std::string_view data) override;
  n2::TRenameResult Rename(const std::string& from, const std::string& to, bool replace) override;
  void SetAttributes(const std::string& path, uint32_t attributes) override;
  void Delete(const std::string& path) override;
  void MakeFolder(const std::string& folder) override;
  void RemoveFolder(const std::string& folder) override;
  std::unique_ptr<n2::FileStream> OpenStream(const std::string& path) override;
  std::unique_ptr<n2::FileStream> CreateStream(const std::string& path) override;
  std::optional<uint64_t> FreeSpace(const std::string& folder) override;
  uint64_t FileSystemNow(const std::string& folder) override;
  uint64_t Now() override { return now_; }
  int64_t LocalTimeBias() override { return 9 * 3600 * 10'000'000ll; }  // Japan
  std::string FullPath(const std::string& path) override;

 private:
  struct Node {
    bool folder = false;
    std::shared_ptr<std::string> content = std::make_shared<std::string>();
    uint64_t write_time = 0;
    uint32_t attributes = 0;
    std::optional<uint64_t> shown_size;
    uint64_t Size() const { return folder ? 0 : shown_size ? *shown_size : content->size(); }
  };
  class Stream;
  friend class Stream;

  std::string Key(const std::string& path) const;  // folded, "/" as "\", no trailing "\"
  std::string Parent(const std::string& key) const;
  void Hook(FsOp op, const std::string& path);
  void RequireParent(const std::string& key, const std::string& path) const;
  void RequireSpace(uint64_t more) const;
  uint64_t Used() const;
  Node* Find(const std::string& path);

  const n2::LeadBytes& lead_;
  mutable std::recursive_mutex mutex_;
  std::map<std::string, Node> nodes_;         // by folded key
  std::map<std::string, std::string> names_;  // folded key -> path as created
  std::map<std::string, bool> held_;          // folded key -> deny read
  std::optional<uint64_t> free_space_;
  std::map<FsOp, int> counts_;
  uint64_t now_ = 133'485'408'000'000'000ull;  // 2024-01-01
};

}  // namespace n2test
