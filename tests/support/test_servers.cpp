#include "tests/support/test_servers.h"

#include <cstdlib>
#include <fstream>
#include <random>

namespace n2test {

std::string FromLinuxPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

std::string FixtureDir(const std::string& servers) {
  const char* dir = std::getenv("N2_BINARY_DIR");
  return FromLinuxPath(std::string(dir ? dir : "/tmp") + "/" + servers);
}

int FixturePort(const std::string& servers, const std::string& name) {
  std::ifstream in(FixtureDir(servers) + "\\" + name + "\\port");
  int port = 0;
  in >> port;
  return port;
}

std::string RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

ScriptedServer::ScriptedServer(const std::vector<std::string>& script, int control_port) {
  socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(control_port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
  std::string text = JoinLines(script) + "end\n";
  ::send(socket_, text.data(), static_cast<int>(text.size()), 0);
  std::string reply = ReadLine();
  if (reply.rfind("port ", 0) == 0) port_ = std::stoi(reply.substr(5));
}

ScriptedServer::~ScriptedServer() { ::closesocket(socket_); }

std::vector<std::string> ScriptedServer::Finish() {
  ::send(socket_, "done\n", 5, 0);
  std::vector<std::string> records;
  for (;;) {
    std::string line = ReadLine();
    if (line == "end" || line.empty()) break;
    records.push_back(line);
  }
  return records;
}

std::string ScriptedServer::ReadLine() {
  std::string line;
  char c;
  while (::recv(socket_, &c, 1, 0) == 1 && c != '\n') line += c;
  return line;
}

std::vector<std::string> RecordedRequests(const std::vector<std::string>& records) {
  std::vector<std::string> requests;
  for (const auto& record : records) {
    if (record.rfind("X:", 0) != 0) continue;
    std::string text;
    for (size_t i = 2; i < record.size(); ++i) {
      if (record[i] == '\\' && i + 1 < record.size()) {
        char escaped = record[++i];
        text += escaped == 'r' ? '\r' : escaped == 'n' ? '\n' : escaped;
      } else {
        text += record[i];
      }
    }
    requests.push_back(text);
  }
  return requests;
}

std::string HeaderField(const std::string& request, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = request.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + key.size();
  return request.substr(from, request.find("\r\n", from) - from);
}

std::string RequestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

}  // namespace n2test
