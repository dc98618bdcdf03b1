// Packs data\AddrBook into data\N2AddBook.zip, or unpacks that archive over
// data, with the settings the plug-in uses, and prints the time it took
// ("codec" times reading the files and deflating them alone).
//   zip_bench pack|unpack|codec <data folder ending with a backslash>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/system_code_page.h"
#include "state/file_index.h"
#include "zip/vex_zip.h"
#include "zip/zip_codec.h"

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
  n2::TVexZip zip;
  zip.SetCompressionType(n2::TZipCompressionType::ctMaximum);
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
    // As the plug-in works: the index of what the last pack or unpack saw
    // lies beside the archive, and packing reuses the previous archive.
    const std::string index_path = data + "N2AddBook.index";
    n2::FileIndex index(n2::SystemLeadBytes());
    try {
      if (auto read = n2::FileIndex::Parse(n2::ReadWholeFile(index_path), n2::SystemLeadBytes()))
        index = std::move(*read);
    } catch (const std::exception&) {
    }
    zip.Index = &index;
    n2::MemoryStream previous;
    auto stamp = [&] {
      WIN32_FILE_ATTRIBUTE_DATA a;
      ::GetFileAttributesExA(archive.c_str(), GetFileExInfoStandard, &a);
      return n2::FileIndex::ArchiveStamp{a.nFileSizeLow, (uint64_t{a.ftLastWriteTime.dwHighDateTime} << 32) |
                                                             a.ftLastWriteTime.dwLowDateTime};
    };
    if (mode == "pack") {
      if (index.Count() > 0) {
        zip.PreviousArchiveIsPacked = index.PackedArchive() == stamp();
        previous = n2::MemoryStream(n2::ReadWholeFile(archive));
        zip.PreviousArchive = &previous;
      }
      {
        n2::File file = n2::File::CreateAlways(archive);
        n2::TVexZip::WriteEmptyArchive(file);
      }
      zip.OpenArchive(archive);
      zip.AddPathList({data + "AddrBook"}, data, true);
      zip.CloseArchive();
      index.SetPackedArchive(stamp());
    } else {
      zip.OpenArchive(archive);
      if (zip.IsZipFile()) zip.ExtractArchiveTo(data);
      zip.CloseArchive();
    }
    n2::ReplaceFileContent(index_path, index.Text());
    std::printf("%s %.3f\n", mode.c_str(), Seconds() - start);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s failed: %s\n", mode.c_str(), e.what());
    return 1;
  }
  return 0;
}
