// The plug-in-wide values set by the start callback: where the host keeps its data.
#pragma once

#include <string>

namespace n2 {

// The host's data folder exactly as the host reports it (it ends with a separator).
extern std::string DataFolder;
// DataFolder followed directly by "AddrBook": the folder that is shared.
extern std::string AddrBookFolder;

// DataFolder followed by "N2AddBook.zip": the one local copy of the shared archive.
inline std::string ArchivePath() { return DataFolder + "N2AddBook.zip"; }

}  // namespace n2
