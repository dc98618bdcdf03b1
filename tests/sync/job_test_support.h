// What the job tests share: the FTP servers that the test fixture starts on
// the Linux side, address books as maps of files, and the dialog and data
// module set up as the plug-in's start creates them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/win_file_system.h"
#include "plugin/plugin_state.h"
#include "plugin/sync_helper.h"
#include "base/system_code_page.h"
#include "settings/file_name.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"
#include "tests/support/test_servers.h"
#include "tests/support/test_support.h"
#include "zip/zip_packer.h"

namespace n2test {

// Set up once per job test executable: Winsock for the test's own sockets (the
// scripted servers' control ports), and the synchronizer through which the
// workers' calls reach the main thread.
class JobTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    n2::SyncHelper = new n2::TSyncHelper();
  }
  void TearDown() override { ::WSACleanup(); }
};

// Where the fixture keeps the FTP servers' ports, and the real server's root.
inline std::string ServerStateDir() { return FixtureDir("ftp-servers"); }
inline std::string RealServerRoot() { return ServerStateDir() + "\\root\\"; }
inline int ServerPort(const std::string& which) { return FixturePort("ftp-servers", which); }

// Relative path -> content of every file below folder; folders end with "\".
using Tree = std::map<std::string, std::string>;

inline void CollectTree(const std::string& folder, const std::string& prefix, Tree& tree) {
  WIN32_FIND_DATAA found;
  HANDLE find = ::FindFirstFileA((folder + "\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      tree[prefix + name + "\\"] = "";
      CollectTree(folder + "\\" + name, prefix + name + "\\", tree);
    } else {
      tree[prefix + name] = ReadFileBytes(folder + "\\" + name);
    }
  } while (::FindNextFileA(find, &found));
  ::FindClose(find);
}

inline Tree ReadTree(const std::string& folder) {
  Tree tree;
  CollectTree(folder, "", tree);
  return tree;
}

inline void WriteTree(const std::string& folder, const Tree& tree) {
  ::CreateDirectoryA(folder.c_str(), nullptr);
  for (const auto& [name, content] : tree) {
    if (!name.empty() && name.back() == '\\')
      ::CreateDirectoryA((folder + "\\" + name).c_str(), nullptr);
    else
      WriteFileBytes(folder + "\\" + name, content);
  }
}

inline std::string Card(const std::string& who) {
  return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + who + "\r\nEMAIL:" + who + "@example.com\r\nEND:VCARD\r\n";
}

// The scripted FTP server by default; the HTTP jobs' tests give the scripted
// HTTP server's control port, which speaks the same control protocol.
class ScriptedJobServer : public ScriptedServer {
 public:
  explicit ScriptedJobServer(const std::vector<std::string>& script, int control_port = ServerPort("script"))
      : ScriptedServer(script, control_port) {}
  // Ends the script; the records, one a line.
  std::string Finish() { return JoinLines(ScriptedServer::Finish()); }
};

// The archive a pack of data_folder's AddrBook gives, as the plug-in makes it.
inline std::string PackedBook(const std::string& data_folder) {
  n2::TWinFileSystem fs;
  n2::PackRequest request;
  request.fs = &fs;
  request.lead = &n2::SystemLeadBytes();
  request.root = data_folder;
  request.folder = data_folder + "AddrBook";
  request.archive = data_folder + "~packed.zip";
  n2::PackFolder(request);
  std::string bytes = ReadFileBytes(request.archive);
  ::DeleteFileA(request.archive.c_str());
  return bytes;
}

// The settings file of this executable: its own path with ".ini".
inline std::string OwnSettingsPath() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return n2::ChangeFileExt(path, ".ini", n2::SystemLeadBytes());
}

}  // namespace n2test
