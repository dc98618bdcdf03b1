// The file system through the Windows API (code-page paths, "A" functions).
#pragma once

#include "base/file_system.h"

namespace n2 {

class TWinFileSystem : public TFileSystem {
 public:
  bool List(const std::string& folder, const std::function<void(const ListedItem&)>& found) override;
  std::optional<FileStamp> Stat(const std::string& path) override;
  std::string ReadFile(const std::string& path, FileStamp* stamp) override;
  bool WriteFile(const std::string& path, std::string_view data, uint32_t attributes, bool must_be_new, bool flush,
                 FileStamp* stamp) override;
  void AppendFile(const std::string& path, std::string_view data) override;
  TRenameResult Rename(const std::string& from, const std::string& to, bool replace) override;
  void SetAttributes(const std::string& path, uint32_t attributes) override;
  void Delete(const std::string& path) override;
  void MakeFolder(const std::string& folder) override;
  void RemoveFolder(const std::string& folder) override;
  std::unique_ptr<FileStream> OpenStream(const std::string& path) override;
  std::unique_ptr<FileStream> CreateStream(const std::string& path) override;
  std::optional<uint64_t> FreeSpace(const std::string& folder) override;
  uint64_t FileSystemNow(const std::string& folder) override;
  uint64_t Now() override;
  int64_t LocalTimeBias() override;
  std::string FullPath(const std::string& path) override;
};

}  // namespace n2
