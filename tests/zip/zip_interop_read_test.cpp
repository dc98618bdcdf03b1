// Archives made by Info-ZIP zip, 7-Zip and Python's zipfile (made by the
// zip_make_interop_archives fixture) decode byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "zip/zip_archive.h"
#include "zip/zip_codec.h"

namespace n2 {
namespace {

// The fixture's folder; under Wine the build folder is reached through drive Z:.
std::string InteropFolder() {
  const char* binary = std::getenv("N2_BINARY_DIR");
  std::string folder = binary ? binary : ".";
#ifdef _WIN32
  if (!folder.empty() && folder.front() == '/') folder = "Z:" + folder;
#endif
  return folder + "/zip_interop/";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ZipInteropRead, ArchivesOfOtherToolsDecodeByteForByte) {
  const std::string folder = InteropFolder();
  for (const char* archive : {"infozip_stored.zip", "infozip_deflated.zip", "infozip_bzip2.zip", "7zip_deflate.zip",
                              "7zip_bzip2.zip", "python_stored.zip", "python_deflated.zip", "python_bzip2.zip"}) {
    SCOPED_TRACE(archive);
    MemoryStream m(ReadFile(folder + "ref/" + archive));
    ZipArchive zip{LeadBytes::Cp932()};
    ASSERT_TRUE(zip.Read(m));
    int files = 0;
    bool bzip2 = false;
    for (size_t i = 0; i < zip.Entries().size(); ++i) {
      const ZipEntry& e = zip.Entries()[i];
      if (e.central.name.back() == '/') {
        EXPECT_TRUE(e.Folder()) << e.central.name;
        continue;
      }
      bzip2 |= e.central.method == kMethodBzip2;
      std::optional<std::string> data = zip.ReadEntryData(i);
      ASSERT_TRUE(data) << e.central.name;
      EXPECT_EQ(*data, ReadFile(folder + "src/" + e.central.name)) << e.central.name;
      ++files;
    }
    EXPECT_EQ(files, 9);
    EXPECT_EQ(bzip2, std::string(archive).find("bzip2") != std::string::npos);
  }
}

TEST(ZipInteropRead, EncryptedEntryIsRefused) {
  MemoryStream m(ReadFile(InteropFolder() + "ref/encrypted.zip.bin"));
  ZipArchive zip{LeadBytes::Cp932()};
  ASSERT_TRUE(zip.Read(m));
  ASSERT_EQ(zip.Entries().size(), 1u);
  try {
    zip.ReadEntryData(0);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot process this file: AddrBook/card0.vcf ");
  }
}

}  // namespace
}  // namespace n2
