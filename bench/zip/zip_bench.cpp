// Packs data\AddrBook into data\N2AddBook.zip with the settings the plug-in
// uses, or unpacks that archive over data, and prints the time it took
// ("codec" times reading the files and deflating them alone).
//   zip_bench pack|unpack|codec <data folder ending with a backslash>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/system_code_page.h"
#include "base/win_file.h"
#include "base/win_file_system.h"
#include "state/file_index.h"
#include "zip/zip_codec.h"
#include "zip/zip_extractor.h"
#include "zip/zip_packer.h"

namespace {

// Every file below folder, read into memory.
void ReadTree(const std::string& folder, std::vector<std::string>& out) {
  WIN32_FIND_DATAA item;
  HANDLE find = ::FindFirstFileA((folder + "\\*").c_str(), &item);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = item.cFileName;
    if (name == "." || name == "..") continue;
    if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ReadTree(folder + "\\" + name, out);
    else
      out.push_back(n2::ReadWholeFile(folder + "\\" + name));
  } while (::FindNextFileA(find, &item));
  ::FindClose(find);
}

double Seconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zip_bench pack|unpack|codec <data folder\\>\n");
    return 2;
  }
  const std::string mode = argv[1], data = argv[2];
  const std::string archive = data + "N2AddBook.zip";
  const n2::LeadBytes& lead = n2::SystemLeadBytes();
  n2::TWinFileSystem fs;
  try {
    const double start = Seconds();
    if (mode == "codec") {
      // The coder alone: level-9 deflate of every file, already in memory.
      std::vector<std::string> files;
      ReadTree(data + "AddrBook", files);
      const double read = Seconds();
      size_t total = 0;
      for (const std::string& f : files) total += n2::DeflateRaw(f, 9).size();
      std::printf("read %.3f deflate %.3f (%u files, %u bytes out)\n", read - start, Seconds() - read,
                  static_cast<unsigned>(files.size()), static_cast<unsigned>(total));
      return 0;
    }
    if (mode != "pack" && mode != "unpack") throw std::runtime_error("unknown mode " + mode);
    // As the plug-in works: the index of what the last pack or unpack saw
    // lies beside the archive, and packing reuses the previous archive.
    const std::string index_path = data + "N2AddBook.index";
    if (mode == "unpack") {
      n2::FileIndex index(lead);
      try {
        if (auto read = n2::FileIndex::Parse(fs.ReadFile(index_path, nullptr), lead)) index = std::move(*read);
      } catch (const std::exception&) {
      }
      std::unique_ptr<n2::FileStream> stream = fs.OpenStream(archive);
      n2::ZipArchive zip(lead);
      if (zip.Read(*stream)) {
        n2::ExtractRequest request;
        request.fs = &fs;
        request.lead = &lead;
        request.archive = &zip;
        request.target = data;
        request.only_below = "AddrBook/";
        request.temporary_folder = data + "~N2Unpack.tmp\\";
        request.index = &index;
        const n2::ExtractResult result = n2::ExtractArchive(request);
        if (!result.failures.empty()) throw std::runtime_error(result.failures.front().error);
      }
      index.SetProvenArchive(std::nullopt);
      n2::ReplaceFileContent(index_path, index.Text());
      std::printf("%s %.3f\n", mode.c_str(), Seconds() - start);
      return 0;
    }
    auto stamp = [&]() -> std::optional<n2::FileIndex::ArchiveStamp> {
      std::optional<n2::FileStamp> s = fs.Stat(archive);
      if (!s) return std::nullopt;
      return n2::FileIndex::ArchiveStamp{s->size, s->write_time};
    };
    n2::PackRequest request;
    request.fs = &fs;
    request.lead = &lead;
    request.root = data;
    request.folder = data + "AddrBook";
    request.archive = data + "N2AddBook.new";
    request.previous_archive = archive;
    std::optional<n2::FileIndex> index;
    request.previous = [&] {
      n2::PackPrevious previous;
      try {
        index = n2::FileIndex::Parse(fs.ReadFile(index_path, nullptr), lead);
      } catch (const std::exception&) {
      }
      if (index && index->Count() > 0) {
        previous.index = &*index;
        previous.archive_is_proven = index->ProvenArchive() == stamp();
      }
      return previous;
    };
    n2::PackResult packed = n2::PackFolder(request);
    fs.Rename(request.archive, archive, true);
    packed.index.SetProvenArchive(stamp());
    n2::ReplaceFileContent(index_path, packed.index.Text());
    std::printf("%s %.3f\n", mode.c_str(), Seconds() - start);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s failed: %s\n", mode.c_str(), e.what());
    return 1;
  }
  return 0;
}
