// The HTTP jobs, in this process: the real dialog and data module as the
// plug-in's start creates them, the main thread dispatching messages as the
// host's loop does, and the HTTP servers that the test fixture starts: nginx
// (PUT under /dav/, Basic authentication under /auth/) and a scripted server
// that records exactly what the client sent.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/base64.h"
#include "plugin/sync_helper.h"
#include "tests/support/message_box_watcher.h"
#include "tests/sync/job_test_support.h"

namespace n2 {
namespace {

using n2test::Card;
using n2test::MessageBoxWatcher;
using n2test::PathExists;
using n2test::PumpMessagesUntil;
using n2test::ReadFileBytes;
using n2test::ReadTree;
using n2test::ScriptedJobServer;
using n2test::TempFolder;
using n2test::Tree;
using n2test::WriteFileBytes;
using n2test::WriteTree;

const std::string kUploadText = "Norvel2 plug-in Velmora HttpUpload Address Book Upload Error!\r\nPlease try again.\r\n";
const std::string kDownloadText =
    "Norvel2 plug-in Velmora HttpDownload Address Book Download Error!\r\nPlease try again.\r\n";
const std::string kClearText = "Norvel2 plug-in Velmora HttpClear Address Book Clear Error!\r\nPlease try again.\r\n";

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new n2test::JobTestEnvironment);

std::string HttpStateDir() { return n2test::FixtureDir("http-servers"); }
int HttpServerPort(const std::string& which) { return n2test::FixturePort("http-servers", which); }
std::string NginxServer() { return "127.0.0.1:" + std::to_string(HttpServerPort("nginx")); }
std::string NginxRoot() { return HttpStateDir() + "\\nginx\\www\\"; }

// The request header blocks the scripted server recorded.
std::vector<std::string> Requests(const std::string& records) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < records.size();) {
    size_t end = records.find('\n', start);
    if (end == std::string::npos) end = records.size();
    lines.push_back(records.substr(start, end - start));
    start = end + 1;
  }
  return n2test::RecordedRequests(lines);
}
std::string FieldOf(const std::string& request, const std::string& name) { return n2test::HeaderField(request, name); }
std::string FirstLine(const std::string& request) { return n2test::RequestLine(request); }

// One answer of the scripted server on a connection of its own.
std::vector<std::string> Answer(const std::string& response) {
  return {"accept", "request", "send " + response, "close"};
}

class HttpJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(HttpServerPort("nginx"), 0) << "the HTTP server fixture did not start";
    ASSERT_NE(HttpServerPort("script"), 0) << "the HTTP server fixture did not start";
    ::DeleteFileA(n2test::OwnSettingsPath().c_str());
    UseDataFolder(a_);
    Ready = false;
    JobKind = 0;
    DelayedStart = false;
    dm_ = std::make_unique<TDmN2>();
    DmN2 = dm_.get();
    form_ = std::make_unique<TFrmN2Shared>();
    FrmN2Shared = form_.get();
    ASSERT_TRUE(Ready);
    Form().RdoFtp.SetChecked(false);
    Form().RdoHttp.SetChecked(true);
    static int counter = 0;
    folder_ = "jobs" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(++counter);
    Connect(NginxServer(), "/dav/" + folder_ + "/");
  }
  void TearDown() override {
    if (form_) {
      EXPECT_TRUE(WaitIdle());
    }
    FrmN2Shared = nullptr;
    form_.reset();
    DmN2 = nullptr;
    dm_.reset();
    n2test::RemoveTree(NginxRoot() + "dav\\" + folder_);
    n2test::RemoveTree(NginxRoot() + "auth\\" + folder_);
    ::DeleteFileA(n2test::OwnSettingsPath().c_str());
    DataFolder.clear();
    AddrBookFolder.clear();
  }

  TFrmN2Shared& Form() { return *form_; }
  void UseDataFolder(const TempFolder& folder) {
    DataFolder = folder.Path();
    AddrBookFolder = DataFolder + "AddrBook";
  }
  void Connect(const std::string& server, const std::string& path) {
    Form().EdtServer.SetText(server);
    Form().EdtPath.SetText(path);
    Form().EdtUser.SetText("n2user");
    Form().EdtPasswd.SetText("n2pass");
  }
  std::string ServerArchive(const std::string& area = "dav") const {
    return NginxRoot() + area + "\\" + folder_ + "\\N2AddBook.zip";
  }
  bool WaitIdle(DWORD milliseconds = 60000) { return PumpMessagesUntil([] { return Ready; }, milliseconds); }
  // Presses a button and waits until its job has ended.
  void Run(void (TFrmN2Shared::*button)()) {
    (Form().*button)();
    ASSERT_TRUE(WaitIdle());
  }
  std::string Book(const TempFolder& data) const { return data.Path() + "AddrBook"; }

  // After every job the client is idle and holds none of the job's streams.
  void ExpectClientIdle() {
    THttpClient& http = DmN2->NetHttp;
    EXPECT_EQ(http.State(), httpReady);
    EXPECT_EQ(http.RequestBody(), nullptr);
    EXPECT_EQ(http.ResponseBody(), nullptr);
  }

  const Tree kBookA = {{"a.vcf", Card("Ann")},
                       {"b.vcf", Card("Bob")},
                       {"groups\\", ""},
                       {"groups\\friends.vcf", Card("Fay")},
                       {"index.dat", std::string("\x00\x01\x02\xff", 4)}};
  TempFolder a_, b_;
  std::string folder_;
  std::unique_ptr<TDmN2> dm_;
  std::unique_ptr<TFrmN2Shared> form_;
};

TEST_F(HttpJobs, UploadThenDownloadIntoAnotherDataFolderGivesTheSameAddressBook) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  Form().BtnUploadClick();
  EXPECT_EQ(JobKind, jkHttpUpload);
  ASSERT_TRUE(WaitIdle());
  ExpectClientIdle();
  ASSERT_TRUE(PathExists(ServerArchive()));
  EXPECT_EQ(ReadFileBytes(ServerArchive()), ReadFileBytes(a_ / "N2AddBook.zip"));
  EXPECT_EQ(DmN2->NetHttp.URL(), "http://" + NginxServer() + "/dav/" + folder_ + "/N2AddBook.zip");

  // Another user: a file of their own stays, the shared ones arrive.
  UseDataFolder(b_);
  WriteTree(Book(b_), {{"mine.vcf", Card("Mia")}, {"a.vcf", Card("Old Ann")}});
  Form().BtnDownloadClick();
  EXPECT_EQ(JobKind, jkHttpDownload);
  ASSERT_TRUE(WaitIdle());
  ExpectClientIdle();
  Tree expected = kBookA;
  expected["mine.vcf"] = Card("Mia");
  EXPECT_EQ(ReadTree(Book(b_)), expected);
  EXPECT_EQ(ReadFileBytes(b_ / "N2AddBook.zip"), ReadFileBytes(ServerArchive()));
  // Its own a.vcf is saved aside, and a box says so.
  ASSERT_EQ(boxes.Texts().size(), 1u);
  EXPECT_NE(boxes.Texts()[0].find("1 card of this computer differed"), std::string::npos) << boxes.Texts()[0];
}

TEST_F(HttpJobs, ClearThenDownloadLeavesTheFolderAndTheArchiveWithoutAMessage) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  Run(&TFrmN2Shared::BtnUploadClick);
  ASSERT_GT(ReadFileBytes(ServerArchive()).size(), 0u);
  Form().BtnClearClick();
  EXPECT_EQ(JobKind, jkHttpClear);
  ASSERT_TRUE(WaitIdle());
  ExpectClientIdle();
  ASSERT_TRUE(PathExists(ServerArchive()));
  EXPECT_EQ(ReadFileBytes(ServerArchive()), "");
  // Clearing leaves the local archive alone.
  EXPECT_GT(ReadFileBytes(a_ / "N2AddBook.zip").size(), 0u);

  // An empty book on the server changes nothing here, not even the local archive.
  const Tree before = ReadTree(Book(a_));
  const std::string archive = ReadFileBytes(a_ / "N2AddBook.zip");
  Run(&TFrmN2Shared::BtnDownloadClick);
  EXPECT_EQ(ReadTree(Book(a_)), before);
  EXPECT_EQ(ReadFileBytes(a_ / "N2AddBook.zip"), archive);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(HttpJobs, TheAddressIsServerPathAndFileNameAsTheyStand) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  const std::string ok = "HTTP/1.0 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n";
  struct Case {
    void (TFrmN2Shared::*button)();
    std::string path;
    std::vector<std::string> request_lines;
    std::string body;
  } cases[] = {
      {&TFrmN2Shared::BtnDownloadClick, "/shared/book/", {"GET /shared/book/N2AddBook.zip HTTP/1.0"}, "B:0:pattern"},
      {&TFrmN2Shared::BtnClearClick, "/shared/", {"PUT /shared/N2AddBook.zip HTTP/1.0"}, "B:0:pattern"},
      // A path without its trailing "/" runs into the file name. An upload
      // fetches the server's copy first.
      {&TFrmN2Shared::BtnUploadClick, "/flat",
       {"GET /flatN2AddBook.zip HTTP/1.0", "PUT /flatN2AddBook.zip HTTP/1.0", "HEAD /flatN2AddBook.zip HTTP/1.0"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request_lines.back());
    std::vector<std::string> script;
    for (size_t i = 0; i < c.request_lines.size(); ++i)
      for (const std::string& step : Answer(ok)) script.push_back(step);
    ScriptedJobServer server(script, HttpServerPort("script"));
    ASSERT_TRUE(server.Ready());
    Connect("127.0.0.1:" + server.Port(), c.path);
    Run(c.button);
    const std::string records = server.Finish();
    const auto requests = Requests(records);
    ASSERT_EQ(requests.size(), c.request_lines.size()) << records;
    for (size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(FirstLine(requests[i]), c.request_lines[i]);
      EXPECT_EQ(FieldOf(requests[i], "Host"), "127.0.0.1:" + server.Port());
    }
    if (!c.body.empty()) {
      EXPECT_NE(records.find(c.body), std::string::npos) << records;
    }
    ExpectClientIdle();
  }
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(HttpJobs, TheUploadSendsTheWholeArchiveAsItsBody) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  // A fetch (no book yet), the PUT, and a HEAD that asks what the server now
  // holds: a file of another length, a colleague's upload that came between.
  std::vector<std::string> script = Answer("HTTP/1.0 404 Not Found\\r\\nContent-Length: 0\\r\\n\\r\\n");
  for (const char* answer : {"HTTP/1.0 201 Created\\r\\nContent-Length: 0\\r\\n\\r\\n",
                             "HTTP/1.0 200 OK\\r\\nETag: \\\"colleague\\\"\\r\\nContent-Length: 3\\r\\n\\r\\n"})
    for (const std::string& step : Answer(answer)) script.push_back(step);
  ScriptedJobServer server(script, HttpServerPort("script"));
  ASSERT_TRUE(server.Ready());
  Connect("127.0.0.1:" + server.Port(), "/up/");
  Run(&TFrmN2Shared::BtnUploadClick);
  const std::string records = server.Finish();
  const auto requests = Requests(records);
  ASSERT_EQ(requests.size(), 3u) << records;
  EXPECT_EQ(FirstLine(requests[0]), "GET /up/N2AddBook.zip HTTP/1.0");
  EXPECT_EQ(FirstLine(requests[2]), "HEAD /up/N2AddBook.zip HTTP/1.0");
  const std::string archive = ReadFileBytes(a_ / "N2AddBook.zip");
  ASSERT_GT(archive.size(), 0u);
  EXPECT_EQ(FieldOf(requests[1], "Content-Length"), std::to_string(archive.size()));
  EXPECT_NE(records.find("B:" + std::to_string(archive.size()) + ":other"), std::string::npos) << records;
  // Its validators do not stand for this book.
  const std::string record = ReadFileBytes(a_ / "N2AddBook.agreed");
  ASSERT_GT(record.size(), 0u);
  EXPECT_EQ(record.find("colleague"), std::string::npos) << record;
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(HttpJobs, EveryRequestAnswersAChallengeWithTheDialogsCredentials) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  const std::string refused = kUploadText + "EHttpException\r\nUnauthorized";
  // A new office behind Basic authentication: the first upload fetches (a
  // 404 once the challenge is answered), then puts the book.
  Connect(NginxServer(), "/auth/" + folder_ + "/");
  ::CreateDirectoryA((NginxRoot() + "auth\\" + folder_).c_str(), nullptr);
  Run(&TFrmN2Shared::BtnUploadClick);
  EXPECT_TRUE(boxes.Texts().empty());
  EXPECT_EQ(ReadFileBytes(ServerArchive("auth")), ReadFileBytes(a_ / "N2AddBook.zip"));
  // Another user downloads it; with a wrong user name its upload is refused
  // at the fetch, and nothing is sent.
  UseDataFolder(b_);
  Run(&TFrmN2Shared::BtnDownloadClick);
  EXPECT_EQ(ReadTree(Book(b_)), kBookA);
  EXPECT_EQ(DmN2->NetHttp.Username(), "n2user");
  WriteFileBytes(Book(b_) + "\\new.vcf", Card("Ned"));
  Form().EdtUser.SetText("someone else");
  Run(&TFrmN2Shared::BtnUploadClick);
  EXPECT_EQ(ReadFileBytes(ServerArchive("auth")).find("AddrBook/new.vcf"), std::string::npos);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{refused});
  Form().EdtUser.SetText("n2user");
  Run(&TFrmN2Shared::BtnUploadClick);
  EXPECT_EQ(ReadFileBytes(ServerArchive("auth")), ReadFileBytes(b_ / "N2AddBook.zip"));
  EXPECT_NE(ReadFileBytes(ServerArchive("auth")).find("AddrBook/new.vcf"), std::string::npos);
  // A clear answers the challenge too.
  Run(&TFrmN2Shared::BtnClearClick);
  EXPECT_EQ(ReadFileBytes(ServerArchive("auth")), "");
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(HttpJobs, AFailedDownloadLeavesEveryAddressBookFileAsItWas) {
  const Tree book = {{"x.vcf", Card("Xena")}, {"sub\\", ""}, {"sub\\y.vcf", Card("Yan")}};
  WriteTree(Book(a_), book);
  // The shared book holds other cards: an archive that unpacked would show.
  TempFolder other;
  UseDataFolder(other);
  WriteTree(Book(other), {{"x.vcf", Card("Not Xena")}, {"z.vcf", Card("Zed")}});
  const std::string shared = n2test::PackedBook(other.Path());
  UseDataFolder(a_);
  const Tree before = ReadTree(Book(a_));

  const std::string half = std::to_string(shared.size() / 2);
  std::vector<std::string> six_relocations;
  for (int i = 1; i <= 6; ++i) {
    const auto answer = Answer("HTTP/1.0 302 Found\\r\\nLocation: /r" + std::to_string(i) + "\\r\\n\\r\\n");
    six_relocations.insert(six_relocations.end(), answer.begin(), answer.end());
  }
  struct Case {
    const char* name;
    std::vector<std::string> script;  // empty: nothing listens
    std::string box;                  // "": no message
  } cases[] = {
      {"malformed chunked body",
       {"accept", "request",
        "send HTTP/1.1 200 OK\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n5\\r\\nhello 5\\r\\nworld\\r\\n0\\r\\n\\r\\n",
        "wait_close"},
       kDownloadText + "EHttpException\r\nMalformed chunked response body"},
      {"page without a header",
       Answer("<HTML><body>Please log in first</body></HTML>"),
       kDownloadText + "EHttpException\r\nThe server answered with a page without an HTTP header"},
      {"302 without a Location",
       Answer("HTTP/1.0 302 Found\\r\\n\\r\\n"),
       kDownloadText + "EHttpException\r\nUnexpected answer from the server: 302 Found"},
      {"relocations exhausted", six_relocations,
       kDownloadText + "EHttpException\r\nToo many relocations; the last answer was 302 Found"},
      // No book on the server: nothing to say.
      {"404", Answer("HTTP/1.0 404 Not Found\\r\\nContent-Length: 9\\r\\n\\r\\nnot found"), ""},
      {"401 without a way to authenticate",
       Answer("HTTP/1.0 401 Unauthorized\\r\\nContent-Length: 9\\r\\n\\r\\nno access"),
       kDownloadText + "EHttpException\r\nUnauthorized"},
      {"body cut short",
       {"accept", "request", "send HTTP/1.0 200 OK\\r\\nContent-Length: " + std::to_string(shared.size()) + "\\r\\n\\r\\n",
        "body " + half, "close"},
       "*"},
      {"unreachable server", {}, "*"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(a_ / "N2AddBook.zip", shared);  // an earlier download
    MessageBoxWatcher boxes;
    std::unique_ptr<ScriptedJobServer> server;
    if (c.script.empty()) {
      Connect("127.0.0.1:1", "/shared/");
    } else {
      server = std::make_unique<ScriptedJobServer>(c.script, HttpServerPort("script"));
      ASSERT_TRUE(server->Ready());
      Connect("127.0.0.1:" + server->Port(), "/shared/");
    }
    Run(&TFrmN2Shared::BtnDownloadClick);
    if (server) server->Finish();
    EXPECT_EQ(ReadTree(Book(a_)), before);
    EXPECT_EQ(ReadFileBytes(a_ / "N2AddBook.zip"), shared);
    const auto texts = boxes.Texts();
    if (c.box.empty()) {
      EXPECT_TRUE(texts.empty());
    } else {
      ASSERT_EQ(texts.size(), 1u);
      if (c.box == "*") {
        EXPECT_EQ(texts[0].rfind(kDownloadText + "EHttpException\r\n", 0), 0u) << texts[0];
      } else {
        EXPECT_EQ(texts[0], c.box);
      }
    }
    ExpectClientIdle();
  }
}

TEST_F(HttpJobs, AnUnresolvableHostShowsTheClientsText) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  Connect("no-such-host.invalid", "/shared/");
  Run(&TFrmN2Shared::BtnDownloadClick);
  Run(&TFrmN2Shared::BtnClearClick);
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{
                               kDownloadText + "EHttpException\r\ncan't resolve hostname to IP address",
                               kClearText + "EHttpException\r\ncan't resolve hostname to IP address"}));
  EXPECT_EQ(ReadTree(Book(a_)), kBookA);
  ExpectClientIdle();
}

TEST_F(HttpJobs, AnUploadToAnUnreachableServerStillRewritesTheLocalArchive) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  WriteFileBytes(a_ / "N2AddBook.zip", "an earlier archive");
  Connect("127.0.0.1:1", "/shared/");
  Run(&TFrmN2Shared::BtnUploadClick);
  EXPECT_NE(ReadFileBytes(a_ / "N2AddBook.zip").find("AddrBook/a.vcf"), std::string::npos);
  const auto texts = boxes.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind(kUploadText + "EHttpException\r\n", 0), 0u) << texts[0];
  ExpectClientIdle();
}

// An upload or clear that the server answered with anything but 2xx has not
// put anything on the server: the user hears of it.
TEST_F(HttpJobs, AnUploadOrClearThatTheServerDidNotTakeShowsTheBox) {
  WriteTree(Book(a_), kBookA);
  struct Case {
    void (TFrmN2Shared::*button)();
    std::string response;
    std::string box;
  } cases[] = {
      {&TFrmN2Shared::BtnUploadClick, "HTTP/1.0 301 Moved Permanently\\r\\nLocation: /elsewhere/\\r\\n\\r\\n",
       kUploadText + "EHttpException\r\nUnexpected answer from the server: 301 Moved Permanently"},
      {&TFrmN2Shared::BtnClearClick, "<!DOCTYPE html>\\n<html>Log in</html>",
       kClearText + "EHttpException\r\nThe server answered with a page without an HTTP header"},
      {&TFrmN2Shared::BtnUploadClick, "HTTP/1.0 204 No Content\\r\\n\\r\\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response);
    MessageBoxWatcher boxes;
    // An upload fetches first: the server has no book yet.
    std::vector<std::string> script;
    if (c.button == &TFrmN2Shared::BtnUploadClick)
      script = Answer("HTTP/1.0 404 Not Found\\r\\nContent-Length: 0\\r\\n\\r\\n");
    for (const std::string& step : Answer(c.response)) script.push_back(step);
    // An upload the server took is followed by a HEAD.
    if (c.box.empty())
      for (const std::string& step : Answer("HTTP/1.0 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n")) script.push_back(step);
    ScriptedJobServer server(script, HttpServerPort("script"));
    ASSERT_TRUE(server.Ready());
    Connect("127.0.0.1:" + server.Port(), "/shared/");
    Run(c.button);
    server.Finish();
    EXPECT_EQ(boxes.Texts(), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
    ExpectClientIdle();
  }
}

TEST_F(HttpJobs, AnUploadThatCannotPackShowsOnlyThePackingMessage) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  // Another program holds the archive open without sharing it.
  n2::ScopedHandle locked(::CreateFileA((a_ / "N2AddBook.zip").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(locked);
  ScriptedJobServer server({"accept"}, HttpServerPort("script"));
  ASSERT_TRUE(server.Ready());
  Connect("127.0.0.1:" + server.Port(), "/shared/");
  Run(&TFrmN2Shared::BtnUploadClick);
  const std::string records = server.Finish();
  EXPECT_EQ(records.find("E:accepted"), std::string::npos) << records;
  const auto texts = boxes.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("Norvel2 plug-in Velmora Address Book Compress Error!", 0), 0u) << texts[0];
}

TEST_F(HttpJobs, TheShutdownUploadGoesOverHttpWhenHttpIsChosen) {
  MessageBoxWatcher boxes;
  WriteTree(Book(a_), kBookA);
  Form().ChkClose.SetChecked(true);
  RunShutdownUpload(DmN2->JobContext());
  EXPECT_TRUE(Ready);
  ASSERT_TRUE(PathExists(ServerArchive()));
  EXPECT_EQ(ReadFileBytes(ServerArchive()), ReadFileBytes(a_ / "N2AddBook.zip"));
  ExpectClientIdle();
  EXPECT_TRUE(boxes.Texts().empty());
}

}  // namespace
}  // namespace n2
