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

#include "plugin/plugin_state.h"
#include "settings/file_name.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"
#include "tests/support/test_support.h"

namespace n2test {

inline std::string FromLinuxPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

// Where the fixture keeps the servers' ports, and the real server's root.
inline std::string ServerStateDir() {
  const char* dir = std::getenv("N2_BINARY_DIR");
  return FromLinuxPath(std::string(dir ? dir : "/tmp") + "/ftp-servers");
}
inline std::string RealServerRoot() { return ServerStateDir() + "\\root\\"; }

inline int ServerPort(const std::string& which) {
  std::ifstream in(ServerStateDir() + "\\" + which + "\\port");
  int port = 0;
  in >> port;
  return port;
}

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

// A blocking connection to the scripted server's control port: it sends the
// script, gets the port of a fresh FTP listener, and at the end the record of
// what the client sent and did.
class ScriptedServer {
 public:
  // control_port: the scripted FTP server's by default; the HTTP jobs' tests
  // give the scripted HTTP server's, which speaks the same control protocol.
  explicit ScriptedServer(const std::vector<std::string>& script, int control_port = ServerPort("script")) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(control_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    std::string text;
    for (const auto& line : script) text += line + "\n";
    text += "end\n";
    ::send(socket_, text.data(), static_cast<int>(text.size()), 0);
    std::string reply = ReadLine();
    if (reply.rfind("port ", 0) == 0) port_ = std::stoi(reply.substr(5));
  }
  ~ScriptedServer() { ::closesocket(socket_); }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string Port() const { return std::to_string(port_); }
  bool Ready() const { return port_ != 0; }

  // Ends the script; the records, one a line.
  std::string Finish() {
    ::send(socket_, "done\n", 5, 0);
    std::string records;
    for (;;) {
      std::string line = ReadLine();
      if (line == "end" || line.empty()) break;
      records += line + "\n";
    }
    return records;
  }

 private:
  std::string ReadLine() {
    std::string line;
    char c;
    while (::recv(socket_, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
  }

  SOCKET socket_ = INVALID_SOCKET;
  int port_ = 0;
};

// The settings file of this executable: its own path with ".ini".
inline std::string OwnSettingsPath() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return n2::ChangeFileExt(path, ".ini");
}

}  // namespace n2test
