#include "sync/n2_shared_thread.h"

#include <exception>
#include <vector>

#include "base/message_box.h"
#include "base/win_file.h"
#include "plugin/plugin_state.h"
#include "zip/vex_zip.h"

namespace n2 {

int32_t JobKind = 0;
bool Ready = false;
bool DelayedStart = false;

namespace {

// The texts of the two message boxes; the error's kind and message follow them.
constexpr char kCompressErrorText[] = "Norvel2 plug-in Velmora Address Book Compress Error!\r\nPlease try again.\r\n";
constexpr char kExtractErrorText[] = "Norvel2 plug-in Velmora Address Book Extract Error!\r\nPlease try again.\r\n";

std::string WithoutTrailingSeparator(std::string path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

}  // namespace

bool TN2Thread::PackAddressBook(TVexZip& zip, const std::string& folder) {
  try {
    const std::vector<std::string> paths{WithoutTrailingSeparator(folder)};
    zip.CloseArchive();
    {
      File archive = File::CreateAlways(ArchivePath());
      TVexZip::WriteEmptyArchive(archive);
    }
    zip.OpenArchive(ArchivePath());
    zip.AddPathList(paths, DataFolder, true);
    zip.CloseArchive();
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kCompressErrorText, error);
    return false;
  }
}

void TN2Thread::UnpackAddressBook(TVexZip& zip, const std::string& folder) {
  try {
    zip.OpenArchive(folder + "N2AddBook.zip");
    if (zip.IsZipFile()) zip.ExtractArchiveTo(folder);
  } catch (const std::exception& error) {
    ShowErrorBox(kExtractErrorText, error);
  }
  zip.SetActive(false);
  zip.CloseArchive();
}

}  // namespace n2
