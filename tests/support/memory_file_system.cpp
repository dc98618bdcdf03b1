#include "tests/support/memory_file_system.h"

#include <algorithm>
#include <cstring>

#include "base/exception.h"

namespace n2test {
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

constexpr char kNotFound[] = "The system cannot find the file specified";
constexpr char kPathNotFound[] = "The system cannot find the path specified";
constexpr char kSharing[] = "The process cannot access the file because it is being used by another process";
constexpr char kDenied[] = "Access is denied";
constexpr char kDiskFull[] = "There is not enough space on the disk";

}  // namespace

// A file opened as a stream: it writes into the file's content as it goes,
// as a real file does.
class MemoryFileSystem::Stream : public n2::FileStream {
 public:
  Stream(MemoryFileSystem& fs, std::string path, std::shared_ptr<std::string> content, bool writable)
      : fs_(fs), path_(std::move(path)), content_(std::move(content)), writable_(writable) {}
  uint64_t Size() override {
    std::lock_guard lock(fs_.mutex_);
    return content_->size();
  }
  size_t ReadAt(uint64_t position, void* buffer, size_t size) override {
    std::lock_guard lock(fs_.mutex_);
    if (position >= content_->size()) return 0;
    const size_t n = std::min<size_t>(size, content_->size() - static_cast<size_t>(position));
    std::memcpy(buffer, content_->data() + position, n);
    return n;
  }
  void WriteAt(uint64_t position, const void* data, size_t size) override {
    if (!writable_) throw n2::EWriteError("Write error on " + Quoted(path_) + ". " + kDenied);
    fs_.Hook(FsOp::kStreamWrite, path_);
    std::lock_guard lock(fs_.mutex_);
    const size_t end = static_cast<size_t>(position) + size;
    if (end > content_->size()) fs_.RequireSpace(end - content_->size());
    if (end > content_->size()) content_->resize(end);
    if (size > 0) std::memcpy(content_->data() + position, data, size);
    if (Node* node = fs_.Find(path_)) node->write_time = fs_.now_;
  }
  void Truncate(uint64_t size) override {
    if (!writable_) throw n2::EWriteError("Write error on " + Quoted(path_) + ". " + kDenied);
    fs_.Hook(FsOp::kStreamWrite, path_);
    std::lock_guard lock(fs_.mutex_);
    if (size > content_->size()) fs_.RequireSpace(size - content_->size());
    content_->resize(static_cast<size_t>(size));
  }
  void WriteOut() override {}
  void Sync() override { fs_.Hook(FsOp::kSync, path_); }

 private:
  MemoryFileSystem& fs_;
  const std::string path_;
  std::shared_ptr<std::string> content_;
  const bool writable_;
};

MemoryFileSystem::MemoryFileSystem(const n2::LeadBytes& lead) : lead_(lead) {}

std::string MemoryFileSystem::Key(const std::string& path) const {
  std::string key = n2::FoldCase(n2::ReplaceChar(path, '/', '\\', lead_), lead_);
  while (!key.empty() && n2::EndsWithChar(key, '\\', lead_)) key.pop_back();
  return key;
}

std::string MemoryFileSystem::Parent(const std::string& key) const {
  const size_t cut = n2::FindLastOf(key, "\\", lead_);
  return cut == std::string::npos ? std::string() : key.substr(0, cut);
}

void MemoryFileSystem::Hook(FsOp op, const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    ++counts_[op];
  }
  if (before) before(op, path);
}

int MemoryFileSystem::Count(FsOp op) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(op);
  return it == counts_.end() ? 0 : it->second;
}

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

void MemoryFileSystem::RequireParent(const std::string& key, const std::string& path) const {
  const std::string parent = Parent(key);
  if (parent.empty()) return;
  auto it = nodes_.find(parent);
  if (it == nodes_.end() || !it->second.folder)
    throw n2::EFCreateError("Cannot create file " + Quoted(path) + ". " + kPathNotFound);
}

uint64_t MemoryFileSystem::Used() const {
  uint64_t used = 0;
  for (const auto& [key, node] : nodes_) used += node.content->size();
  return used;
}

void MemoryFileSystem::RequireSpace(uint64_t more) const {
  if (!free_space_) return;
  if (Used() + more > *free_space_) throw n2::EWriteError(std::string("Write error. ") + kDiskFull);
}

void MemoryFileSystem::Put(const std::string& path, const std::string& content, uint32_t attributes) {
  std::lock_guard lock(mutex_);
  const std::string key = Key(path);
  const std::string parent = Parent(key);
  if (!parent.empty()) PutFolder(path.substr(0, n2::FindLastOf(path, "\\/", lead_)));
  Node node;
  *node.content = content;
  node.write_time = now_;
  node.attributes = attributes;
  nodes_[key] = node;
  names_[key] = path;
}

void MemoryFileSystem::PutFolder(const std::string& folder) {
  std::lock_guard lock(mutex_);
  std::string key = Key(folder);
  std::string spelled = folder;
  while (!spelled.empty() && (spelled.back() == '\\' || spelled.back() == '/')) spelled.pop_back();
  while (!key.empty()) {
    auto it = nodes_.find(key);
    if (it != nodes_.end()) break;
    Node node;
    node.folder = true;
    node.write_time = now_;
    node.attributes = n2::kAttrFolder;
    nodes_[key] = node;
    names_[key] = spelled;
    key = Parent(key);
    const size_t cut = n2::FindLastOf(spelled, "\\/", lead_);
    spelled = cut == std::string::npos ? std::string() : spelled.substr(0, cut);
  }
}

bool MemoryFileSystem::Exists(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return nodes_.count(Key(path)) != 0;
}

std::optional<std::string> MemoryFileSystem::Content(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end() || it->second.folder) return std::nullopt;
  return *it->second.content;
}

std::map<std::string, std::string> MemoryFileSystem::Tree(const std::string& folder) const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::string> tree;
  const std::string prefix = Key(folder) + "\\";
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    const std::string& spelled = names_.at(it->first);
    std::string relative = spelled.substr(spelled.size() - (it->first.size() - prefix.size()));
    if (it->second.folder)
      tree[relative + "\\"] = "";
    else
      tree[relative] = *it->second.content;
  }
  return tree;
}

void MemoryFileSystem::Remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  nodes_.erase(Key(path));
  names_.erase(Key(path));
}

void MemoryFileSystem::ShowSize(const std::string& path, uint64_t size) {
  std::lock_guard lock(mutex_);
  if (Node* node = Find(path)) node->shown_size = size;
}

void MemoryFileSystem::Hold(const std::string& path, bool deny_read) {
  std::lock_guard lock(mutex_);
  held_[Key(path)] = deny_read;
}

void MemoryFileSystem::Release(const std::string& path) {
  std::lock_guard lock(mutex_);
  held_.erase(Key(path));
}

bool MemoryFileSystem::List(const std::string& folder, const std::function<void(const n2::ListedItem&)>& found) {
  Hook(FsOp::kList, folder);
  std::vector<std::pair<std::string, n2::FileStamp>> items;
  {
    std::lock_guard lock(mutex_);
    const std::string key = Key(folder);
    auto self = nodes_.find(key);
    if (self == nodes_.end() || !self->second.folder) return false;
    items.emplace_back(".", n2::FileStamp{0, self->second.write_time, self->second.attributes});
    const std::string prefix = key + "\\";
    for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
      if (n2::FindChar(it->first, '\\', lead_, prefix.size()) != std::string::npos) continue;  // deeper down
      const std::string& spelled = names_.at(it->first);
      const Node& node = it->second;
      items.emplace_back(spelled.substr(n2::FindLastOf(spelled, "\\", lead_) + 1),
                         n2::FileStamp{node.Size(), node.write_time,
                                       node.attributes | (node.folder ? n2::kAttrFolder : 0)});
    }
  }
  for (const auto& [name, stamp] : items) found(n2::ListedItem{name, stamp});
  return true;
}

std::optional<n2::FileStamp> MemoryFileSystem::Stat(const std::string& path) {
  Hook(FsOp::kStat, path);
  std::lock_guard lock(mutex_);
  const Node* node = Find(path);
  if (!node) return std::nullopt;
  return n2::FileStamp{node->Size(), node->write_time, node->attributes | (node->folder ? n2::kAttrFolder : 0)};
}

std::string MemoryFileSystem::ReadFile(const std::string& path, n2::FileStamp* stamp) {
  Hook(FsOp::kRead, path);
  std::lock_guard lock(mutex_);
  const Node* node = Find(path);
  if (!node || node->folder) throw n2::EFOpenError("Cannot open file " + Quoted(path) + ". " + kNotFound);
  auto held = held_.find(Key(path));
  if (held != held_.end() && held->second)
    throw n2::EFOpenError("Cannot open file " + Quoted(path) + ". " + kSharing);
  if (stamp) *stamp = n2::FileStamp{node->content->size(), node->write_time, node->attributes};
  return *node->content;
}

bool MemoryFileSystem::WriteFile(const std::string& path, std::string_view data, uint32_t attributes,
                                 bool must_be_new, bool, n2::FileStamp* stamp) {
  Hook(FsOp::kWrite, path);
  std::lock_guard lock(mutex_);
  const std::string key = Key(path);
  RequireParent(key, path);
  auto it = nodes_.find(key);
  if (it != nodes_.end()) {
    if (must_be_new) return false;
    if (it->second.folder || held_.count(key))
      throw n2::EFCreateError("Cannot create file " + Quoted(path) + ". " + (it->second.folder ? kDenied : kSharing));
  }
  RequireSpace(data.size());
  Node node;
  node.content->assign(data);
  node.write_time = now_;
  node.attributes = attributes == 0 ? n2::kAttrNormal : attributes;
  nodes_[key] = node;
  names_[key] = path;
  if (stamp) *stamp = n2::FileStamp{data.size(), now_, node.attributes};
  return true;
}

void MemoryFileSystem::AppendFile(const std::string& path, std::string_view data) {
  Hook(FsOp::kAppend, path);
  std::lock_guard lock(mutex_);
  const std::string key = Key(path);
  RequireParent(key, path);
  auto it = nodes_.find(key);
  if (it != nodes_.end() && (it->second.folder || held_.count(key)))
    throw n2::EFCreateError("Cannot create file " + Quoted(path) + ". " + (it->second.folder ? kDenied : kSharing));
  RequireSpace(data.size());
  if (it == nodes_.end()) {
    Node node;
    node.attributes = n2::kAttrArchive;
    it = nodes_.emplace(key, node).first;
    names_[key] = path;
  }
  it->second.content->append(data);
  it->second.write_time = now_;
}

n2::TRenameResult MemoryFileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
  Hook(FsOp::kRename, from);
  std::lock_guard lock(mutex_);
  const std::string from_key = Key(from), to_key = Key(to);
  auto source = nodes_.find(from_key);
  if (source == nodes_.end()) throw n2::EFCreateError("Cannot create file " + Quoted(to) + ". " + kNotFound);
  if (held_.count(from_key) || held_.count(to_key))
    throw n2::EFCreateError("Cannot create file " + Quoted(to) + ". " + kSharing);
  RequireParent(to_key, to);
  auto target = nodes_.find(to_key);
  if (target != nodes_.end() && to_key != from_key) {
    if (!replace) return n2::TRenameResult::kTargetExists;
    if (target->second.folder || (target->second.attributes & n2::kAttrReadOnly))
      throw n2::EFCreateError("Cannot create file " + Quoted(to) + ". " + kDenied);
  }
  Node moved = source->second;
  nodes_.erase(source);
  names_.erase(from_key);
  nodes_[to_key] = moved;
  names_[to_key] = to;
  return n2::TRenameResult::kDone;
}

void MemoryFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  Hook(FsOp::kSetAttributes, path);
  std::lock_guard lock(mutex_);
  Node* node = Find(path);
  if (!node) throw n2::EInOutError("Cannot set the attributes of " + Quoted(path) + ". " + kNotFound);
  node->attributes = (attributes == 0 ? n2::kAttrNormal : attributes) | (node->folder ? n2::kAttrFolder : 0);
}

void MemoryFileSystem::Delete(const std::string& path) {
  Hook(FsOp::kDelete, path);
  std::lock_guard lock(mutex_);
  const std::string key = Key(path);
  auto it = nodes_.find(key);
  if (it == nodes_.end()) return;
  if (it->second.folder || held_.count(key))
    throw n2::EInOutError("Cannot delete file " + Quoted(path) + ". " + (it->second.folder ? kDenied : kSharing));
  nodes_.erase(it);
  names_.erase(key);
}

void MemoryFileSystem::MakeFolder(const std::string& folder) {
  Hook(FsOp::kMakeFolder, folder);
  std::lock_guard lock(mutex_);
  for (std::string key = Key(folder); !key.empty(); key = Parent(key)) {
    auto it = nodes_.find(key);
    if (it != nodes_.end() && !it->second.folder)
      throw n2::EInOutError("Cannot create folder " + Quoted(folder) + ". " + kDenied);
  }
  PutFolder(folder);
}

void MemoryFileSystem::RemoveFolder(const std::string& folder) {
  Hook(FsOp::kRemoveFolder, folder);
  std::lock_guard lock(mutex_);
  const std::string key = Key(folder);
  auto it = nodes_.find(key);
  if (it == nodes_.end() || !it->second.folder) return;
  auto next = std::next(it);
  if (next != nodes_.end() && next->first.compare(0, key.size() + 1, key + "\\") == 0) return;  // not empty
  nodes_.erase(it);
  names_.erase(key);
}

std::unique_ptr<n2::FileStream> MemoryFileSystem::OpenStream(const std::string& path) {
  Hook(FsOp::kOpenStream, path);
  std::lock_guard lock(mutex_);
  Node* node = Find(path);
  if (!node || node->folder) throw n2::EFOpenError("Cannot open file " + Quoted(path) + ". " + kNotFound);
  auto held = held_.find(Key(path));
  if (held != held_.end() && held->second)
    throw n2::EFOpenError("Cannot open file " + Quoted(path) + ". " + kSharing);
  return std::make_unique<Stream>(*this, path, node->content, false);
}

std::unique_ptr<n2::FileStream> MemoryFileSystem::CreateStream(const std::string& path) {
  Hook(FsOp::kCreateStream, path);
  std::lock_guard lock(mutex_);
  const std::string key = Key(path);
  RequireParent(key, path);
  if (held_.count(key)) throw n2::EFCreateError("Cannot create file " + Quoted(path) + ". " + kSharing);
  Node node;
  node.write_time = now_;
  node.attributes = n2::kAttrArchive;
  nodes_[key] = node;
  names_[key] = path;
  return std::make_unique<Stream>(*this, path, node.content, true);
}

std::optional<uint64_t> MemoryFileSystem::FreeSpace(const std::string&) {
  std::lock_guard lock(mutex_);
  if (!free_space_) return std::nullopt;
  const uint64_t used = Used();
  return used < *free_space_ ? *free_space_ - used : 0;
}

uint64_t MemoryFileSystem::FileSystemNow(const std::string&) { return now_; }

std::string MemoryFileSystem::FullPath(const std::string& path) {
  // Components between "\" (or "/"), with "." dropped and ".." taking the one before.
  std::vector<std::string> parts;
  std::string part;
  auto take = [&] {
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (size_t i = 0; i < path.size();) {
    const size_t n = lead_.CharLength(path, i);
    if (n == 1 && (path[i] == '\\' || path[i] == '/'))
      take();
    else
      part.append(path, i, n);
    i += n;
  }
  take();
  std::string full;
  for (const std::string& p : parts) full += (full.empty() ? "" : "\\") + p;
  if (n2::EndsWithSeparator(path, lead_)) full += '\\';
  return full;
}

}  // namespace n2test
