// The FTP client against two servers on 127.0.0.1, both started by the test
// fixture on the Linux side: a real server (pyftpdlib) and a scripted one that
// plays a reply script per test and records what the client did.
#include "net/ftp_client.h"

#include "base/scoped_handle.h"

#include <winsock2.h>

#include "tests/support/test_servers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace n2 {
namespace {

using n2test::JoinLines;
using n2test::RandomBytes;
using n2test::RunOnWorker;

// ---- Helpers -------------------------------------------------------------

std::string TempDir();

// The test's own blocking sockets (the scripted server's control port) use
// ws2_32; the local files of the transfers go at the end.
class TestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  void TearDown() override {
    ::WSACleanup();
    std::string dir = TempDir();
    WIN32_FIND_DATAA found;
    HANDLE find = ::FindFirstFileA((dir + "*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileA((dir + found.cFileName).c_str());
      } while (::FindNextFileA(find, &found));
      ::FindClose(find);
    }
    ::RemoveDirectoryA(dir.c_str());
  }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TestEnvironment);

std::string StateDir() { return n2test::FixtureDir("ftp-servers"); }
int ReadPortFile(const std::string& name) { return n2test::FixturePort("ftp-servers", name); }

std::string TempDir() {
  char buffer[MAX_PATH];
  ::GetTempPathA(MAX_PATH, buffer);
  std::string dir = std::string(buffer) + "n2ftptest" + std::to_string(::GetCurrentProcessId());
  ::CreateDirectoryA(dir.c_str(), nullptr);
  return dir + "\\";
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The bytes the scripted server's send_data sends: byte i is i % 251.
std::string Pattern(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

// The commands a scripted server received after the log-in, one a line; PORT
// without its numbers, which vary.
std::string CommandsSent(const std::vector<std::string>& records) {
  std::string sent;
  for (const std::string& r : records) {
    if (r.rfind("C:", 0) != 0 || r.rfind("C:USER ", 0) == 0 || r.rfind("C:PASS ", 0) == 0) continue;
    sent += (r.rfind("C:PORT ", 0) == 0 ? "PORT" : r.substr(2)) + "\n";
  }
  return sent;
}

// The scripted FTP server, through the fixture's control port.
class ScriptedServer : public n2test::ScriptedServer {
 public:
  explicit ScriptedServer(const std::vector<std::string>& script)
      : n2test::ScriptedServer(script, ReadPortFile("script")) {}
};

void Configure(TFtpClient& ftp, const std::string& port, bool passive) {
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(port);
  ftp.SetUserName("n2user");
  ftp.SetPassWord("n2pass");
  ftp.SetHostFileName("N2AddBook.zip");
  ftp.SetBinary(true);
  ftp.SetPassive(passive);
}

// Greeting and log-in of a scripted session.
const std::vector<std::string> kLogin = {"reply 220 hello", "expect", "reply 331 password", "expect",
                                         "reply 230 logged in"};

std::vector<std::string> Script(std::vector<std::string> tail) {
  std::vector<std::string> script = kLogin;
  script.insert(script.end(), tail.begin(), tail.end());
  return script;
}

// ---- Real server ---------------------------------------------------------

class FtpRealServer : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    port_ = ReadPortFile("real");
    ASSERT_NE(port_, 0) << "the FTP server fixture did not start";
    root_ = StateDir() + "\\root\\";
    local_ = TempDir();
  }
  std::string Folder() const { return GetParam() ? "passive" : "active"; }

  // Open, log in, CWD, TYPE I: the start of every job.
  bool Login(TFtpClient& ftp) {
    n2::Configure(ftp, std::to_string(port_), GetParam());
    ftp.SetHostDirName(std::string("/").append(Folder()));
    return ftp.Abort() && ftp.Open() && ftp.User() && ftp.Pass() && ftp.Cwd() && ftp.TypeSet();
  }

  int port_ = 0;
  std::string root_, local_;
};

TEST_P(FtpRealServer, UploadDownloadDeleteAreByteExact) {
  ::CreateDirectoryA((root_ + Folder()).c_str(), nullptr);
  TFtpClient ftp;
  const std::vector<std::string> contents = {"", "PK small archive\r\n\x00\x01\x02", RandomBytes(20 << 20, 7)};
  RunOnWorker([&] {
    for (size_t i = 0; i < contents.size(); ++i) {
      SCOPED_TRACE("file " + std::to_string(i));
      std::string name = "file" + std::to_string(i) + ".bin";
      std::string up = local_ + Folder() + "-up-" + name, down = local_ + Folder() + "-down-" + name;
      WriteFileBytes(up, contents[i]);
      ASSERT_TRUE(Login(ftp)) << ftp.LastResponse();
      ftp.SetHostFileName(name);
      ftp.SetLocalFileName(up);
      ASSERT_TRUE(ftp.Put()) << ftp.LastResponse();
      EXPECT_EQ(ftp.StatusCode(), 226);
      EXPECT_TRUE(ReadFileBytes(root_ + Folder() + "\\" + name) == contents[i]);
      ftp.SetLocalFileName(down);
      ASSERT_TRUE(ftp.Get()) << ftp.LastResponse();
      EXPECT_TRUE(ReadFileBytes(down) == contents[i]);
      EXPECT_EQ(ftp.ByteCount(), static_cast<int64_t>(contents[i].size()));
      ASSERT_TRUE(ftp.Dele()) << ftp.LastResponse();
      EXPECT_FALSE(PathExists(root_ + Folder() + "\\" + name));
      ftp.Abort();
      EXPECT_FALSE(ftp.Connected());
      EXPECT_EQ(ftp.State(), TFtpState::Ready);
    }
  });
}

// A file another thread still writes goes as far as it is told final, never
// with bytes beyond (they may be written again), and whole once told so; a
// file that fails, or is whole before the Put opens it, fails the Put.
TEST_P(FtpRealServer, AGrowingFileGoesAsFarAsItIsFinal) {
  ::CreateDirectoryA((root_ + Folder()).c_str(), nullptr);
  const size_t kPart = 1 << 20;
  const std::string content = RandomBytes(3 * kPart, 11);
  enum { kWhole, kFails, kWholeBeforeThePut } kinds[] = {kWhole, kFails, kWholeBeforeThePut};
  for (const auto kind : kinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    TFtpClient ftp;
    const std::string path = local_ + Folder() + "-growing.bin", remote = root_ + Folder() + "\\growing.bin";
    WriteFileBytes(path, content.substr(0, kPart) + std::string(kPart, 'x'));
    auto growing = std::make_shared<GrowingFile>();
    growing->Grew(kPart);
    if (kind == kWholeBeforeThePut) growing->Whole(2 * kPart);
    const Event all_final_sent = Event::ManualReset();
    ftp.OnProgress = [&](TCustomFtpClient&, int64_t count, bool&) {
      if (count == static_cast<int64_t>(kPart)) all_final_sent.Set();
    };
    std::thread writer([&] {
      if (kind == kWholeBeforeThePut || !all_final_sent.Wait(30000)) return;
      if (kind == kFails) return growing->Fail();
      ScopedHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      ::SetFilePointer(file.Get(), static_cast<LONG>(kPart), nullptr, FILE_BEGIN);
      DWORD written = 0;
      ::WriteFile(file.Get(), content.data() + kPart, static_cast<DWORD>(kPart), &written, nullptr);
      growing->Grew(2 * kPart);
      ::WriteFile(file.Get(), content.data() + 2 * kPart, static_cast<DWORD>(kPart), &written, nullptr);
      file.Close();
      growing->Whole(3 * kPart);
    });
    bool stored = false;
    RunOnWorker([&] {
      ASSERT_TRUE(Login(ftp)) << ftp.LastResponse();
      ftp.SetHostFileName("growing.bin");
      ftp.SetLocalFileName(path);
      ftp.SetGrowingLocalFile(growing);
      stored = ftp.Put();
    });
    writer.join();
    if (kind == kWhole) {
      EXPECT_TRUE(stored) << ftp.LastResponse();
      EXPECT_EQ(ftp.ByteCount(), static_cast<int64_t>(content.size()));
      EXPECT_TRUE(ReadFileBytes(remote) == content);
    } else {
      EXPECT_FALSE(stored);
      EXPECT_NE(ftp.ErrorMessage().find(kind == kFails ? "never completed" : "no longer being written"),
                std::string::npos)
          << ftp.ErrorMessage();
      EXPECT_LE(ftp.ByteCount(), static_cast<int64_t>(kPart));
    }
    ftp.Abort();
  }
}

TEST_P(FtpRealServer, MissingFolderFileAndDownloadFailWith550) {
  ::CreateDirectoryA((root_ + Folder()).c_str(), nullptr);
  TFtpClient ftp;
  std::string local = local_ + Folder() + "-missing.zip";
  WriteFileBytes(local, "an archive from an earlier job");
  RunOnWorker([&] {
    ASSERT_TRUE(Login(ftp));
    ftp.SetHostFileName("does-not-exist.zip");
    EXPECT_FALSE(ftp.Dele());
    EXPECT_EQ(ftp.StatusCode(), 550);
    EXPECT_EQ(ftp.ErrorMessage().substr(0, 3), "550");
    ftp.SetLocalFileName(local);
    EXPECT_FALSE(ftp.Get());
    EXPECT_EQ(ftp.StatusCode(), 550);
    ftp.SetHostDirName("/no/such/folder");
    EXPECT_FALSE(ftp.Cwd());
    EXPECT_EQ(ftp.StatusCode(), 550);
    // The client is still usable on the same connection.
    ftp.SetHostDirName("/");
    EXPECT_TRUE(ftp.Cwd());
    ftp.Abort();
  });
  EXPECT_TRUE(PathExists(local));
  EXPECT_EQ(ReadFileBytes(local), "");
}

TEST_P(FtpRealServer, SynchronousFormsAlsoRunOnTheOwnerThread) {
  ::CreateDirectoryA((root_ + Folder()).c_str(), nullptr);
  TFtpClient ftp;
  std::string content = RandomBytes(300000, 3);
  std::string up = local_ + Folder() + "-main.bin", down = local_ + Folder() + "-main-down.bin";
  WriteFileBytes(up, content);
  ASSERT_TRUE(Login(ftp)) << ftp.LastResponse();
  ftp.SetHostFileName("main.bin");
  ftp.SetLocalFileName(up);
  ASSERT_TRUE(ftp.Put()) << ftp.LastResponse();
  ftp.SetLocalFileName(down);
  ASSERT_TRUE(ftp.Get()) << ftp.LastResponse();
  EXPECT_TRUE(ReadFileBytes(down) == content);
  EXPECT_TRUE(ftp.Dele());
  ftp.Abort();
}

TEST_P(FtpRealServer, ListingsSizeTimeAndRenameOverAnExistingFile) {
  const std::string folder = root_ + Folder() + "\\names\\";
  ::CreateDirectoryA((root_ + Folder()).c_str(), nullptr);
  ::CreateDirectoryA(folder.c_str(), nullptr);
  WriteFileBytes(folder + "N2AddBook.zip", "old archive");
  WriteFileBytes(folder + "N2AddBook.new", "the new archive");
  {
    SYSTEMTIME time = {2026, 12, 2, 8, 8, 20, 35, 0};
    FILETIME written;
    ::SystemTimeToFileTime(&time, &written);
    HANDLE file = ::CreateFileA((folder + "N2AddBook.new").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ::SetFileTime(file, nullptr, nullptr, &written);
    ::CloseHandle(file);
  }
  TFtpClient ftp;
  RunOnWorker([&] {
    ASSERT_TRUE(Login(ftp));
    ftp.SetHostDirName("names");
    ASSERT_TRUE(ftp.Cwd());
    ASSERT_TRUE(ftp.Nlst()) << ftp.LastResponse();
    EXPECT_EQ(ftp.ListingText(), "N2AddBook.new\r\nN2AddBook.zip\r\n");
    ftp.SetHostFileName("N2AddBook.new");
    ASSERT_TRUE(ftp.Size()) << ftp.LastResponse();
    EXPECT_EQ(ftp.FileSizeResult(), 15);
    ASSERT_TRUE(ftp.Mdtm()) << ftp.LastResponse();
    EXPECT_EQ(ftp.ModifiedTimeResult(), "20261208082035");
    ftp.SetRenameToName("N2AddBook.zip");
    ASSERT_TRUE(ftp.Rename()) << ftp.LastResponse();
    EXPECT_EQ(ReadFileBytes(folder + "N2AddBook.zip"), "the new archive");
    ASSERT_TRUE(ftp.List()) << ftp.LastResponse();
    EXPECT_EQ(ftp.ListingText().find("N2AddBook.new"), std::string::npos) << ftp.ListingText();
    EXPECT_NE(ftp.ListingText().find(" N2AddBook.zip\r\n"), std::string::npos) << ftp.ListingText();
    ASSERT_TRUE(ftp.Feat());
    EXPECT_NE(JoinLines(ftp.Features()).find("\nSIZE\nTVFS\nUTF8\n"), std::string::npos);
    ftp.SetHostFileName("N2AddBook.zip");
    ASSERT_TRUE(ftp.Dele());
    EXPECT_FALSE(ftp.Size());
    EXPECT_TRUE(ftp.Nlst()) << ftp.LastResponse();  // an empty folder
    EXPECT_EQ(ftp.ListingText(), "");
    ftp.Abort();
  });
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpRealServer, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

// ---- Refusals and local checks -----------------------------------------------

TEST(FtpClient, RefusalsSendNothingAndFailTheCall) {
  ScriptedServer server(Script({"expect", "reply 250 ok", "wait_close"}));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  EXPECT_FALSE(ftp.User());  // not connected yet
  try {
    ftp.UserAsync();
    ADD_FAILURE() << "no refusal";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "FTP component not connected");
  }
  EXPECT_TRUE(ftp.Open());
  try {
    ftp.OpenAsync();
    ADD_FAILURE() << "no refusal";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "FTP component already connected");
  }
  ftp.SetUserName("");
  EXPECT_FALSE(ftp.User());
  ftp.SetUserName("n2user");
  EXPECT_TRUE(ftp.User());
  ftp.SetPassWord("");
  try {
    ftp.PassAsync();
    ADD_FAILURE() << "no refusal";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "Password empty");
  }
  ftp.SetPassWord("n2pass");
  EXPECT_TRUE(ftp.Pass());
  // Arguments that are missing, or that would split a command in two.
  ftp.SetHostFileName("x.zip\r\nDELE N2AddBook.zip");
  EXPECT_FALSE(ftp.Size());
  ftp.SetHostFileName("N2AddBook.zip");
  EXPECT_FALSE(ftp.Rename());
  EXPECT_FALSE(ftp.Opts());
  ftp.SetHostDirName("");
  EXPECT_FALSE(ftp.Cwd());
  // A second command while one is running is refused.
  ftp.SetHostDirName("/shared");
  ftp.CwdAsync();
  std::string refusal;
  ftp.OnError = [&](TCustomFtpClient&, const std::string& text) { refusal = text; };
  ftp.TypeSetAsync();
  EXPECT_EQ(refusal, "FTP component not ready");
  ftp.OnError = nullptr;
  try {
    ftp.OpenAsync();
    ADD_FAILURE() << "no refusal";
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "FTP component not ready");
  }
  ftp.Abort();
  EXPECT_EQ(JoinLines(server.Finish()), "C:USER n2user\nC:PASS n2pass\nC:CWD /shared\nE:closed\n");
}

TEST(FtpClient, QuitWithoutConnectionSucceedsAtOnceAndAbortOfNothingReturns) {
  TFtpClient ftp;
  EXPECT_TRUE(ftp.Abort());
  EXPECT_TRUE(ftp.Quit());
  EXPECT_EQ(ftp.LastResponse(), "200 not connected");
  ftp.SetHostName("");
  EXPECT_FALSE(ftp.Open());
  EXPECT_EQ(ftp.State(), TFtpState::Ready);
}

TEST(FtpClient, ConnectionRefusedFailsOpen) {
  // A port that was just free: nothing listens there.
  SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int length = sizeof addr;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
  ::closesocket(probe);
  TFtpClient ftp;
  Configure(ftp, std::to_string(ntohs(addr.sin_port)), true);
  RunOnWorker([&] { EXPECT_FALSE(ftp.Open()); });
  EXPECT_EQ(ftp.StatusCode(), 500);
  EXPECT_EQ(ftp.LastResponse(), "500 Connect error - Connection refused (#10061)");
  EXPECT_FALSE(ftp.Connected());
}

// ---- Scripted server: replies ----------------------------------------------

TEST(FtpScripted, MultiLineGreetingAndLfOnlyReplies) {
  ScriptedServer server({"raw 220-Welcome\\n220-to the test\\r\\n220 ready\\n", "expect", "raw 331-more\\n331 go on\\n",
                         "expect", "raw 230 in\\n", "wait_close"});
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  RunOnWorker([&] {
    EXPECT_TRUE(ftp.Open());
    EXPECT_TRUE(ftp.User());
    EXPECT_EQ(ftp.LastResponse(), "331 go on");
    EXPECT_TRUE(ftp.Pass());
    EXPECT_EQ(ftp.StatusCode(), 230);
    ftp.Abort();
  });
  EXPECT_EQ(JoinLines(server.Finish()), "C:USER n2user\nC:PASS n2pass\nE:closed\n");
}

TEST(FtpScripted, Greeting421FailsAndClosesTheConnection) {
  ScriptedServer server({"reply 421 Too many users", "wait_close"});
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  RunOnWorker([&] { EXPECT_FALSE(ftp.Open()); });
  EXPECT_EQ(ftp.StatusCode(), 421);
  EXPECT_EQ(ftp.ErrorMessage(), "421 Too many users");
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(JoinLines(server.Finish()), "E:closed\n");
}

TEST(FtpScripted, UserAccepted230ThenRefusedPassFails) {
  ScriptedServer server({"reply 220 hi", "expect", "reply 230 already in", "expect", "reply 530 Not now",
                         "wait_close"});
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  RunOnWorker([&] {
    EXPECT_TRUE(ftp.Open());
    EXPECT_TRUE(ftp.User());
    EXPECT_FALSE(ftp.Pass());
    EXPECT_EQ(ftp.StatusCode(), 530);
    EXPECT_EQ(ftp.ErrorMessage(), "530 Not now");
    ftp.Abort();
  });
  server.Finish();
}

TEST(FtpScripted, OverlongReplyLineFailsAndClosesInsteadOfHanging) {
  ScriptedServer server({"reply 220 hi", "expect", "raw 331 " + std::string(5000, 'x'), "wait_close"});
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetTimeout(0);  // would wait for ever if the line were not handled
  RunOnWorker([&] {
    EXPECT_TRUE(ftp.Open());
    EXPECT_FALSE(ftp.User());
  });
  EXPECT_EQ(ftp.StatusCode(), 500);
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(JoinLines(server.Finish()), "C:USER n2user\nE:closed\n");
}

// ---- Scripted server: commands that bring a value ---------------------------

// The listing, as the length of the bytes send_data sent ("other" when they
// differ), and whether the server refused.
std::string Listing(const TFtpClient& ftp) {
  const std::string& text = ftp.ListingText();
  return std::to_string(text.size()) + (text == Pattern(text.size()) ? "" : " other") +
         (ftp.TransferRefused() ? " refused" : "");
}

struct ValueCase {
  const char* name;
  bool (TFtpClient::*run)();
  std::vector<std::string> script;  // after the log-in
  const char* sent;
  bool ok;
  int status;
  std::string (*value)(const TFtpClient&);
  std::string expected;
  bool passive = true;
};

TEST(FtpScripted, CommandsThatBringAValueSendTheirBytesAndJudgeTheReply) {
  const auto size = +[](const TFtpClient& f) { return std::to_string(f.FileSizeResult()); };
  const auto time = +[](const TFtpClient& f) { return f.ModifiedTimeResult(); };
  const auto features = +[](const TFtpClient& f) { return JoinLines(f.Features()); };
  const auto size_time = +[](const TFtpClient& f) {
    return std::to_string(f.FileSizeResult()) + " " + f.ModifiedTimeResult();
  };
  const auto response = +[](const TFtpClient& f) { return f.LastResponse(); };
  const std::vector<std::string> nlst = {"expect", "pasv", "expect", "accept", "reply 150 names"};
  auto then = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const ValueCase cases[] = {
      {"SizeAbove4GB", &TFtpClient::Size, {"expect", "reply 213 4294967296"}, "SIZE N2AddBook.zip\n", true, 213, size,
       "4294967296"},
      {"SizeWithoutANumberFails", &TFtpClient::Size, {"expect", "reply 213 unknown"}, "SIZE N2AddBook.zip\n", false,
       550, size, "-1"},
      {"MdtmWithFraction", &TFtpClient::Mdtm, {"expect", "reply 213 20261208082035.250"}, "MDTM N2AddBook.zip\n",
       true, 213, time, "20261208082035.250"},
      {"SizeThenMdtm", &TFtpClient::SizeMdtm, {"expect", "reply 213 4194", "expect", "reply 213 20261208082035"},
       "SIZE N2AddBook.zip\nMDTM N2AddBook.zip\n", true, 213, size_time, "4194 20261208082035"},
      {"SizeRefusedAsksNoMdtm", &TFtpClient::SizeMdtm, {"expect", "reply 550 No such file"}, "SIZE N2AddBook.zip\n",
       false, 550, size_time, "-1 "},
      {"Rename", &TFtpClient::Rename, {"expect", "reply 350 Ready", "expect", "reply 250 Renamed"},
       "RNFR N2AddBook.zip\nRNTO N2AddBook.old\n", true, 250, response, "250 Renamed"},
      {"RenameFromRefused", &TFtpClient::Rename, {"expect", "reply 550 No such file"}, "RNFR N2AddBook.zip\n", false,
       550, response, "550 No such file"},
      {"RenameToRefused", &TFtpClient::Rename, {"expect", "reply 350 Ready", "expect", "reply 553 Not allowed"},
       "RNFR N2AddBook.zip\nRNTO N2AddBook.old\n", false, 553, response, "553 Not allowed"},
      {"FeatMultiLine", &TFtpClient::Feat, {"expect", "raw 211-Features:\\r\\n UTF8\\r\\n size\\n211 End\\r\\n"},
       "FEAT\n", true, 211, features, "UTF8\nSIZE\n"},
      {"FeatNotImplemented", &TFtpClient::Feat, {"expect", "reply 502 Not implemented"}, "FEAT\n", false, 502,
       features, ""},
      {"Opts", &TFtpClient::Opts, {"expect", "reply 200 Always in UTF8 mode"}, "OPTS UTF8 ON\n", true, 200, response,
       "200 Always in UTF8 mode"},
      {"NlstPassive", &TFtpClient::Nlst, then(nlst, {"send_data 3000", "close_data", "reply 226 done"}),
       "PASV\nNLST\n", true, 226, Listing, "3000"},
      {"ListActive", &TFtpClient::List,
       {"expect", "reply 200 port ok", "expect", "connect", "reply 150 list", "send_data 3000", "close_data",
        "reply 226 done"},
       "PORT\nLIST\n", true, 226, Listing, "3000", false},
      // Some servers connect as soon as they have the PORT command.
      {"ListActiveConnectedAtPort", &TFtpClient::List,
       {"expect", "connect", "reply 200 port ok", "expect", "reply 125 open", "send_data 3000", "close_data",
        "reply 226 done"},
       "PORT\nLIST\n", true, 226, Listing, "3000", false},
      {"EmptyListing", &TFtpClient::Nlst, then(nlst, {"close_data", "reply 226 done"}), "PASV\nNLST\n", true, 226,
       Listing, "0"},
      {"ListingOfTheBound", &TFtpClient::Nlst, then(nlst, {"send_data 4194304", "close_data", "reply 226 done"}),
       "PASV\nNLST\n", true, 226, Listing, "4194304"},
      // Kept whole or not at all, whatever the server says.
      {"ListingBeyondTheBoundFails", &TFtpClient::Nlst,
       then(nlst, {"send_data 4194305", "close_data", "reply 226 done"}), "PASV\nNLST\n", false, 550, Listing, "0"},
      {"NoFilesIsARefusal", &TFtpClient::Nlst, {"expect", "pasv", "expect", "reply 450 No files found"},
       "PASV\nNLST\n", false, 450, Listing, "0 refused"},
      {"RefusedInActiveMode", &TFtpClient::List,
       {"expect", "reply 200 port ok", "expect", "reply 550 No such folder"}, "PORT\nLIST\n", false, 550, Listing,
       "0 refused", false},
      {"ControlClosedMidListingKeepsNothing", &TFtpClient::Nlst, then(nlst, {"send_data 3000", "sleep 300", "close"}),
       "PASV\nNLST\n", false, 500, Listing, "0"},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(Script(then(c.script, {"wait_close"})));
    ASSERT_TRUE(server.Ready());
    TFtpClient ftp;
    Configure(ftp, server.Port(), c.passive);
    ftp.SetRenameToName("N2AddBook.old");
    ftp.SetOptsText("UTF8 ON");
    RunOnWorker([&] {
      ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
      EXPECT_EQ((ftp.*c.run)(), c.ok) << ftp.LastResponse();
      ftp.Abort();
    });
    EXPECT_EQ(ftp.StatusCode(), c.status) << ftp.LastResponse();
    EXPECT_EQ(c.value(ftp), c.expected);
    EXPECT_EQ(CommandsSent(server.Finish()), c.sent);
  }
}

// ---- Scripted server: downloads ---------------------------------------------

struct DownloadCase {
  const char* name;
  std::vector<std::string> transfer;
  size_t size;
};

class FtpScriptedDownload : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(FtpScriptedDownload, Succeeds) {
  const DownloadCase& c = GetParam();
  ScriptedServer server(Script(c.transfer));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  std::string local = TempDir() + std::string("download-") + c.name;
  ftp.SetLocalFileName(local);
  RunOnWorker([&] {
    ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
    EXPECT_TRUE(ftp.Get()) << ftp.LastResponse();
    ftp.Abort();
  });
  EXPECT_TRUE(ReadFileBytes(local) == Pattern(c.size));
  std::string records = JoinLines(server.Finish());
  EXPECT_NE(records.find("C:RETR N2AddBook.zip\nE:data-accepted\n"), std::string::npos) << records;
}

INSTANTIATE_TEST_SUITE_P(
    Orders, FtpScriptedDownload,
    ::testing::Values(
        DownloadCase{"FinalReplyBeforeDataClose",
                     {"expect", "pasv", "expect", "accept", "reply 150 go", "send_data 70000", "reply 226 done",
                      "sleep 300", "close_data", "wait_close"},
                     70000},
        DownloadCase{"FinalReplyAfterDataClose",
                     {"expect", "pasv", "expect", "accept", "reply 150 go", "send_data 70000", "close_data",
                      "sleep 300", "reply 226 done", "wait_close"},
                     70000},
        DownloadCase{"EmptyFile",
                     {"expect", "pasv", "expect", "accept", "reply 150 go", "close_data", "reply 226 done",
                      "wait_close"},
                     0},
        // The 227 reply names another host; the data connection still goes to
        // the server, at the port of the reply.
        DownloadCase{"DataConnectionGoesToTheServerWhateverAddressThe227Names",
                     {"expect", "pasv 127.0.0.1 127.0.0.2", "expect", "accept", "reply 150 go", "send_data 5000",
                      "close_data", "reply 226 done", "wait_close"},
                     5000},
        DownloadCase{"LongerThanTimeoutWhileBlocksKeepComing",
                     {"expect", "pasv", "expect", "accept", "reply 150 go", "send_data 18000 1000 1000",
                      "close_data", "reply 226 done", "wait_close"},
                     18000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FtpScripted, StatesFollowTheProtocolInOrder) {
  ScriptedServer server(Script({"expect", "pasv", "expect", "accept", "reply 150 go", "send_data 100", "close_data",
                                "reply 226 done", "wait_close"}));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetLocalFileName(TempDir() + "states.bin");
  std::vector<std::string> states;
  ftp.OnStateChange = [&](TCustomFtpClient& sender) { states.push_back(FtpStateName(sender.State())); };
  auto take = [&] { return JoinLines(std::exchange(states, {})); };
  // On the owner thread itself: the wait dispatches the messages.
  ASSERT_TRUE(ftp.Open());
  EXPECT_EQ(take(), "Resolving\nWaitingBanner\nGreeted\nReady\n");
  ASSERT_TRUE(ftp.User());
  EXPECT_EQ(take(), "WaitingResponse\nReady\n");
  ASSERT_TRUE(ftp.Pass());
  take();
  ASSERT_TRUE(ftp.Get());
  // InternalReady after the last step is not the end of the request; Ready is.
  EXPECT_EQ(take(), "WaitingResponse\nPasvReady\nWaitingResponse\nInternalReady\nReady\n");
  ftp.Abort();
  EXPECT_EQ(take(), "Aborting\nReady\n");
  EXPECT_EQ(ReadFileBytes(TempDir() + "states.bin"), Pattern(100));
  server.Finish();
}

TEST(FtpScripted, UnusableDataAddressFailsTheDownload) {
  ScriptedServer server(Script({"expect", "reply 227 Entering Passive Mode", "expect",
                                "reply 227 Entering Passive Mode (127,0,0,1,0,1)", "expect", "reply 425 No data",
                                "wait_close"}));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetLocalFileName(TempDir() + "no-data.bin");
  RunOnWorker([&] {
    ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
    EXPECT_FALSE(ftp.Get());  // no address in the 227 reply: RETR is not sent
    EXPECT_EQ(ftp.StatusCode(), 550);
    EXPECT_EQ(ftp.LastResponse(), "550 Unable to read the data address in: 227 Entering Passive Mode");
    EXPECT_FALSE(ftp.Get());  // nothing listens at the address given
    ftp.Abort();
  });
  std::string records = JoinLines(server.Finish());
  EXPECT_EQ(records.rfind("C:USER n2user\nC:PASS n2pass\nC:PASV\nC:PASV\nC:RETR N2AddBook.zip\n", 0), 0u) << records;
}

TEST(FtpScripted, ServerClosingControlMidTransferFails) {
  ScriptedServer server(Script({"expect", "pasv", "expect", "accept", "reply 150 go", "send_data 3000", "close"}));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetLocalFileName(TempDir() + "midtransfer.bin");
  RunOnWorker([&] {
    ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
    EXPECT_FALSE(ftp.Get());
  });
  EXPECT_EQ(ftp.StatusCode(), 500);
  EXPECT_FALSE(ftp.Connected());
  ftp.Abort();
  server.Finish();
}

TEST(FtpScripted, SilentServerTimesOutAndBothConnectionsClose) {
  ScriptedServer server(
      Script({"expect", "pasv", "expect", "accept", "reply 150 go", "send_data 2000", "wait_data_close", "wait_close"}));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetLocalFileName(TempDir() + "silent.bin");
  DWORD started = 0, took = 0;
  RunOnWorker([&] {
    ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
    started = ::GetTickCount();
    EXPECT_FALSE(ftp.Get());
    took = ::GetTickCount() - started;
  });
  EXPECT_GE(took, 14000u);
  EXPECT_EQ(ftp.StatusCode(), 426);
  EXPECT_EQ(ftp.ErrorMessage(), "426 Timeout");
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(ftp.State(), TFtpState::Ready);
  std::string records = JoinLines(server.Finish());
  EXPECT_NE(records.find("E:data-closed\nE:closed\n"), std::string::npos) << records;
}

// ---- Scripted server: uploads -----------------------------------------------

TEST(FtpScripted, ActiveUploadWaitsForReplyAndConnectionInEitherOrder) {
  const std::vector<std::vector<std::string>> orders = {
      {"expect", "reply 200 port ok", "expect", "reply 150 go", "sleep 300", "connect", "recv_data",
       "close_data", "reply 226 stored", "wait_close"},
      {"expect", "reply 200 port ok", "expect", "connect", "sleep 300", "reply 150 go", "recv_data",
       "close_data", "reply 226 stored", "wait_close"},
      // Some servers connect as soon as they have the PORT command.
      {"expect", "connect", "reply 200 port ok", "expect", "reply 125 already open", "recv_data", "close_data",
       "reply 226 stored", "wait_close"}};
  std::string local = TempDir() + "active-upload.bin";
  WriteFileBytes(local, Pattern(100000));
  for (const auto& order : orders) {
    ScriptedServer server(Script(order));
    ASSERT_TRUE(server.Ready());
    TFtpClient ftp;
    Configure(ftp, server.Port(), false);
    ftp.SetLocalFileName(local);
    RunOnWorker([&] {
      ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
      EXPECT_TRUE(ftp.Put()) << ftp.LastResponse();
      ftp.Abort();
    });
    std::string records = JoinLines(server.Finish());
    EXPECT_EQ(records.rfind("C:USER n2user\nC:PASS n2pass\nC:PORT 127,0,0,1,", 0), 0u) << records;
    EXPECT_NE(records.find("C:STOR N2AddBook.zip\n"), std::string::npos) << records;
    EXPECT_NE(records.find("D:100000:pattern\n"), std::string::npos) << records;
  }
}

TEST(FtpScripted, UploadOfAMissingLocalFileFailsBeforeStor) {
  ScriptedServer server(Script({"expect", "pasv", "wait_close"}));
  ASSERT_TRUE(server.Ready());
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetLocalFileName(TempDir() + "no-such-file.zip");
  RunOnWorker([&] {
    ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
    EXPECT_FALSE(ftp.Put());
    ftp.Abort();
  });
  EXPECT_EQ(ftp.StatusCode(), 426);
  EXPECT_EQ(ftp.LastResponse().rfind("Unable to open local file " + TempDir() + "no-such-file.zip: ", 0), 0u)
      << ftp.LastResponse();
  EXPECT_EQ(JoinLines(server.Finish()), "C:USER n2user\nC:PASS n2pass\nC:PASV\nE:closed\n");
}

TEST(FtpScripted, PassiveUploadSendsStorOnceConnected) {
  ScriptedServer server(Script({"expect", "pasv", "accept", "expect", "reply 150 go", "recv_data", "close_data",
                                "reply 226 stored", "wait_close"}));
  ASSERT_TRUE(server.Ready());
  std::string local = TempDir() + "passive-upload.bin";
  WriteFileBytes(local, Pattern(3000));
  TFtpClient ftp;
  Configure(ftp, server.Port(), true);
  ftp.SetLocalFileName(local);
  RunOnWorker([&] {
    ASSERT_TRUE(ftp.Open() && ftp.User() && ftp.Pass());
    EXPECT_TRUE(ftp.Put()) << ftp.LastResponse();
    ftp.Abort();
  });
  EXPECT_EQ(JoinLines(server.Finish()),
            "C:USER n2user\nC:PASS n2pass\nC:PASV\nE:data-accepted\nC:STOR N2AddBook.zip\nD:3000:pattern\nE:closed\n");
}

}  // namespace
}  // namespace n2
