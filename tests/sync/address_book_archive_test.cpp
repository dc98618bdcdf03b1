// Packing the address-book folder into the archive beside it and unpacking
// the archive over the data folder, with the message boxes of their failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "base/scoped_handle.h"
#include "base/win_error.h"
#include "plugin/plugin_state.h"
#include "sync/n2_shared_thread.h"
#include "tests/support/message_box_watcher.h"
#include "tests/support/test_support.h"
#include "zip/vex_zip.h"

namespace n2 {
namespace {

using n2test::MessageBoxWatcher;
using n2test::PathExists;
using n2test::ReadFileBytes;
using n2test::TempFolder;
using n2test::WriteFileBytes;

const std::string kCompressError = "Norvel2 plug-in Velmora Address Book Compress Error!\r\nPlease try again.\r\n";
const std::string kExtractError = "Norvel2 plug-in Velmora Address Book Extract Error!\r\nPlease try again.\r\n";

// A data folder of its own, set as the plug-in's for the test's duration.
struct Data {
  TempFolder folder;
  TVexZip zip;
  Data() {
    DataFolder = folder.Path();
    AddrBookFolder = DataFolder + "AddrBook";
    zip.SetCompressionType(TZipCompressionType::ctMaximum);
  }
  ~Data() {
    zip.CloseArchive();
    DataFolder.clear();
    AddrBookFolder.clear();
  }
  std::string Book(const std::string& name = "") const { return folder.Path() + "AddrBook\\" + name; }
};

void MakeFolder(const std::string& path) { ::CreateDirectoryA(path.c_str(), nullptr); }

std::string Card(const std::string& who) { return "BEGIN:VCARD\r\nFN:" + who + "\r\nEND:VCARD\r\n"; }

TEST(AddressBookArchive, MissingFolderPacksToTheEmptyArchive) {
  Data d;
  MessageBoxWatcher boxes;
  EXPECT_TRUE(TN2Thread::PackAddressBook(d.zip, AddrBookFolder));
  EXPECT_EQ(ReadFileBytes(ArchivePath()), EncodeEndRecord(EndRecord{}));
  EXPECT_FALSE(d.zip.Active());
  // Unpacking it elsewhere extracts nothing and shows nothing.
  Data other;
  ::CopyFileA((d.folder / "N2AddBook.zip").c_str(), ArchivePath().c_str(), FALSE);
  TN2Thread::UnpackAddressBook(other.zip, DataFolder);
  EXPECT_FALSE(PathExists(other.Book()));
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST(AddressBookArchive, AttributesSubfoldersAndFilesInUseRoundTrip) {
  Data d;
  MakeFolder(d.Book());
  MakeFolder(d.Book("groups"));
  WriteFileBytes(d.Book("hidden.vcf"), Card("Hidden"));
  WriteFileBytes(d.Book("system.vcf"), Card("System"));
  WriteFileBytes(d.Book("readonly.vcf"), Card("ReadOnly"));
  WriteFileBytes(d.Book("open.vcf"), Card("Open"));
  WriteFileBytes(d.Book("groups\\friends.vcf"), Card("Friend"));
  ::SetFileAttributesA(d.Book("hidden.vcf").c_str(), FILE_ATTRIBUTE_HIDDEN);
  ::SetFileAttributesA(d.Book("system.vcf").c_str(), FILE_ATTRIBUTE_SYSTEM);
  ::SetFileAttributesA(d.Book("readonly.vcf").c_str(), FILE_ATTRIBUTE_READONLY);
  // Another program has open.vcf open for writing but lets others read it.
  HANDLE writer = ::CreateFileA(d.Book("open.vcf").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  MessageBoxWatcher boxes;
  const bool packed = TN2Thread::PackAddressBook(d.zip, AddrBookFolder);
  ::CloseHandle(writer);
  ASSERT_TRUE(packed);

  Data other;
  ::CopyFileA((d.folder / "N2AddBook.zip").c_str(), ArchivePath().c_str(), FALSE);
  TN2Thread::UnpackAddressBook(other.zip, DataFolder);
  EXPECT_TRUE(boxes.Texts().empty());
  const struct {
    const char* name;
    DWORD attributes;
  } expected[] = {{"hidden.vcf", FILE_ATTRIBUTE_HIDDEN},
                  {"system.vcf", FILE_ATTRIBUTE_SYSTEM},
                  {"readonly.vcf", FILE_ATTRIBUTE_READONLY},
                  {"open.vcf", 0},
                  {"groups\\friends.vcf", 0}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(ReadFileBytes(other.Book(e.name)), ReadFileBytes(d.Book(e.name)));
    EXPECT_EQ(::GetFileAttributesA(other.Book(e.name).c_str()), FILE_ATTRIBUTE_ARCHIVE | e.attributes);
  }
  ::SetFileAttributesA(d.Book("readonly.vcf").c_str(), FILE_ATTRIBUTE_NORMAL);
  ::SetFileAttributesA(other.Book("readonly.vcf").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(AddressBookArchive, FileLockedAgainstReadingFailsWithTheCompressError) {
  Data d;
  MakeFolder(d.Book());
  WriteFileBytes(d.Book("a.vcf"), Card("A"));
  WriteFileBytes(d.Book("locked.vcf"), Card("Locked"));
  HANDLE lock = ::CreateFileA(d.Book("locked.vcf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  MessageBoxWatcher boxes;
  const bool packed = TN2Thread::PackAddressBook(d.zip, AddrBookFolder);
  ::CloseHandle(lock);
  EXPECT_FALSE(packed);
  ASSERT_EQ(boxes.Texts().size(), 1u);
  EXPECT_EQ(boxes.Texts()[0], kCompressError + "EFOpenError\r\nCannot open file \"" + d.Book("locked.vcf") +
                                  "\". " + SystemErrorText(ERROR_SHARING_VIOLATION));
}

TEST(AddressBookArchive, UnpackMergesAndReplaces) {
  Data d;
  MakeFolder(d.Book());
  WriteFileBytes(d.Book("shared.vcf"), Card("Shared"));
  ASSERT_TRUE(TN2Thread::PackAddressBook(d.zip, AddrBookFolder));
  WriteFileBytes(d.Book("shared.vcf"), "edited locally");
  WriteFileBytes(d.Book("local.vcf"), Card("Only here"));
  MessageBoxWatcher boxes;
  TN2Thread::UnpackAddressBook(d.zip, DataFolder);
  EXPECT_TRUE(boxes.Texts().empty());
  EXPECT_EQ(ReadFileBytes(d.Book("shared.vcf")), Card("Shared"));
  EXPECT_EQ(ReadFileBytes(d.Book("local.vcf")), Card("Only here"));
  EXPECT_FALSE(d.zip.Active());
}

// Moves a file's last-write time an hour back, beyond any doubt about when it was written.
void MakeOld(const std::string& path) {
  ScopedHandle file(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
  t.QuadPart -= 36'000'000'000ull;
  const FILETIME old{t.LowPart, t.HighPart};
  ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &old));
}

// Packing again takes the data of unchanged cards from the previous archive:
// the result is the archive a full pack makes, and data our own pack did not
// write (a downloaded archive, damaged on the way) is never passed on.
TEST(AddressBookArchive, PackingAgainGivesTheFullPacksArchive) {
  Data d;
  MakeFolder(d.Book());
  for (const char* who : {"a", "b", "c"}) {
    WriteFileBytes(d.Book(std::string(who) + ".vcf"), Card(std::string(who) + " of the office"));
    MakeOld(d.Book(std::string(who) + ".vcf"));
  }
  ASSERT_TRUE(TN2Thread::PackAddressBook(d.zip, AddrBookFolder));
  const std::string full = ReadFileBytes(ArchivePath());
  {
    // An unchanged card is not even opened: one that another program holds
    // against reading packs all the same.
    ScopedHandle lock(::CreateFileA(d.Book("c.vcf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    MessageBoxWatcher boxes;
    EXPECT_TRUE(TN2Thread::PackAddressBook(d.zip, AddrBookFolder));
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{});
  }
  EXPECT_EQ(ReadFileBytes(ArchivePath()), full);

  std::string damaged = full;
  damaged[damaged.find("AddrBook/b.vcf") + 14 + 2] ^= 0x40;
  WriteFileBytes(ArchivePath(), damaged);
  MessageBoxWatcher boxes;
  ASSERT_TRUE(TN2Thread::PackAddressBook(d.zip, AddrBookFolder));
  EXPECT_EQ(ReadFileBytes(ArchivePath()), full);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST(AddressBookArchive, MissingArchiveShowsTheExtractError) {
  Data d;
  MessageBoxWatcher boxes;
  TN2Thread::UnpackAddressBook(d.zip, DataFolder);
  ASSERT_EQ(boxes.Texts().size(), 1u);
  EXPECT_EQ(boxes.Texts()[0], kExtractError + "Exception\r\nFile \"" + ArchivePath() + "\" not found!");
}

TEST(AddressBookArchive, ErrorPageIsNoArchiveAndCorruptDownloadKeepsTheBook) {
  Data d;
  MakeFolder(d.Book());
  WriteFileBytes(d.Book("a.vcf"), Card("A"));
  WriteFileBytes(ArchivePath(), "<html><body>404 Not Found</body></html>");
  MessageBoxWatcher boxes;
  TN2Thread::UnpackAddressBook(d.zip, DataFolder);
  EXPECT_TRUE(boxes.Texts().empty());
  EXPECT_TRUE(::DeleteFileA(ArchivePath().c_str()));  // released again

  // An archive whose data was damaged on the way: the box names the error, the local card survives.
  ASSERT_TRUE(TN2Thread::PackAddressBook(d.zip, AddrBookFolder));
  std::string bytes = ReadFileBytes(ArchivePath());
  const size_t data = bytes.find("AddrBook/a.vcf") + 14;
  bytes[data + 3] ^= 0x40;
  WriteFileBytes(ArchivePath(), bytes);
  WriteFileBytes(d.Book("a.vcf"), "local and precious");
  TN2Thread::UnpackAddressBook(d.zip, DataFolder);
  ASSERT_EQ(boxes.Texts().size(), 1u);
  EXPECT_EQ(boxes.Texts()[0].rfind(kExtractError + "EDecompressionError\r\n", 0), 0u) << boxes.Texts()[0];
  EXPECT_EQ(ReadFileBytes(d.Book("a.vcf")), "local and precious");

  // Hostile archives that would decode to far more than they hold are refused with the box.
  const char* source = std::getenv("N2_SOURCE_DIR");
  std::string corpus = "Z:" + std::string(source ? source : "") + "/tests/zip/corpus/";
  std::replace(corpus.begin(), corpus.end(), '/', '\\');
  const std::pair<const char*, std::string> bombs[] = {
      {"declared_too_large.zip", "Entry \"AddrBook/huge.vcf\" is too large (1610612736 bytes; at most 67108864 are read)"},
      {"shared_data.zip", "Entry \"AddrBook/c0.vcf\" shares its data with another entry"},
  };
  for (const auto& [name, message] : bombs) {
    const size_t shown = boxes.Texts().size();
    WriteFileBytes(ArchivePath(), ReadFileBytes(corpus + name));
    TN2Thread::UnpackAddressBook(d.zip, DataFolder);
    ASSERT_EQ(boxes.Texts().size(), shown + 1) << name;
    EXPECT_EQ(boxes.Texts().back(), kExtractError + "EDecompressionError\r\n" + message);
    EXPECT_EQ(ReadFileBytes(d.Book("a.vcf")), "local and precious");
    EXPECT_FALSE(PathExists(d.Book("huge.vcf")) || PathExists(d.Book("c0.vcf"))) << name;
  }
}

}  // namespace
}  // namespace n2
