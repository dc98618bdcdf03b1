// The worker, its triggers and the FTP jobs, in this process: the real dialog
// and data module as the plug-in's start creates them, the main thread
// dispatching messages as the host's loop does, and the FTP servers that the
// test fixture starts (a real one, and a scripted one for failures).
#include <gtest/gtest.h>

#include <functional>

#include "base/scoped_handle.h"
#include "plugin/sync_helper.h"
#include "tests/support/message_box_watcher.h"
#include "sync/ftp_transport.h"
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

const std::string kUploadText = "Norvel2 plug-in Velmora FtpUpload Address Book Upload Error!\r\nPlease try again.\r\n";
const std::string kDownloadText =
    "Norvel2 plug-in Velmora FtpDownload Address Book Download Error!\r\nPlease try again.\r\n";
const std::string kClearText = "Norvel2 plug-in Velmora FtpClear Address Book Clear Error!\r\nPlease try again.\r\n";

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new n2test::JobTestEnvironment);

// Greeting, log-in, folder and binary mode of a scripted session.
std::vector<std::string> Script(std::vector<std::string> tail) {
  std::vector<std::string> script = {"reply 220 hello",      "expect", "reply 331 password", "expect",
                                     "reply 230 logged in", "expect", "reply 250 ok",       "expect",
                                     "reply 200 binary"};
  script.insert(script.end(), tail.begin(), tail.end());
  return script;
}

// A fetch asks the archive's size first (and its time when it has one).
std::vector<std::string> NoSize() { return {"expect", "reply 550 Could not get file size"}; }
// A fetch from a server without a book: RETR refused, and a listing of the
// folder without the archive shows that there is none.
std::vector<std::string> NoBookYet() {
  return {"expect", "reply 550 No such file", "expect", "pasv", "expect", "reply 550 No such file", "expect",
          "pasv", "expect", "accept", "reply 150 list", "close_data", "reply 226 done"};
}
// A STOR that takes what the client sends.
std::vector<std::string> Store() {
  return {"expect", "pasv", "expect", "accept", "reply 150 go", "recv_data", "close_data", "reply 226 done"};
}
// An upload: stored under a name of its own, whose size is asked (what the
// server tells of it), then renamed over the archive.
std::vector<std::string> StoreAndRename() {
  std::vector<std::string> steps = Store();
  for (const char* step : {"expect", "reply 550 no size", "expect", "reply 350 ready", "expect", "reply 250 renamed"})
    steps.push_back(step);
  return steps;
}
std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
const char kFetchNoBookRecords[] =
    "C:SIZE N2AddBook.zip\nC:PASV\nC:RETR N2AddBook.zip\nC:PASV\nC:NLST\nE:data-accepted\n";

// A card whose packing takes far longer (some tenths of a second) than a
// session on this machine takes to open, fail or be closed by the server.
std::string SlowToPack() {
  std::string card;
  for (uint32_t x = 1; card.size() < (8u << 20);) {
    x = x * 1103515245u + 12345u;
    card += static_cast<char>('a' + (x >> 16) % 26);
  }
  return card;
}

class FtpJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(n2test::ServerPort("real"), 0) << "the FTP server fixture did not start";
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
    static int counter = 0;
    folder_ = "jobs" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(++counter);
    ASSERT_TRUE(::CreateDirectoryA(ServerFolder().c_str(), nullptr));
    Connect("127.0.0.1:" + std::to_string(n2test::ServerPort("real")), "/" + folder_ + "/");
  }
  void TearDown() override {
    if (form_) {
      EXPECT_TRUE(WaitIdle());
    }
    TN2Thread::SetDelayedStartMillisecondsForTesting(kDelayedStartMilliseconds);
    FrmN2Shared = nullptr;
    form_.reset();
    DmN2 = nullptr;
    dm_.reset();
    n2test::RemoveTree(ServerFolder());
    ::DeleteFileA(n2test::OwnSettingsPath().c_str());
    DataFolder.clear();
    AddrBookFolder.clear();
  }

  TFrmN2Shared& Form() { return *form_; }
  void UseDataFolder(const TempFolder& folder) {
    DataFolder = folder.Path();
    AddrBookFolder = DataFolder + "AddrBook";
  }
  void Connect(const std::string& server, const std::string& path, bool passive = true) {
    Form().EdtServer.SetText(server);
    Form().EdtPath.SetText(path);
    Form().EdtUser.SetText("n2user");
    Form().EdtPasswd.SetText("n2pass");
    Form().ChkPassive.SetChecked(passive);
  }
  std::string ServerFolder() const { return n2test::RealServerRoot() + folder_; }
  std::string ServerArchive() const { return ServerFolder() + "\\N2AddBook.zip"; }
  // The host's loop goes on while the job runs; true once it has ended.
  bool WaitIdle(DWORD milliseconds = 60000) { return PumpMessagesUntil([] { return Ready; }, milliseconds); }
  std::string Book(const TempFolder& data) const { return data.Path() + "AddrBook"; }

  void ExpectIdle() {
    EXPECT_TRUE(Ready);
    EXPECT_TRUE(Form().BtnUpload.Enabled());
    EXPECT_TRUE(Form().EdtServer.Enabled());
    EXPECT_TRUE(Form().BtnOk.Enabled());
    EXPECT_FALSE(Form().PnlSyori1.Visible());
    EXPECT_FALSE(Form().PnlSyori2.Visible());
  }
  void ExpectBusy(const std::string& status) {
    EXPECT_FALSE(Ready);
    EXPECT_FALSE(Form().BtnUpload.Enabled());
    EXPECT_FALSE(Form().EdtServer.Enabled());
    EXPECT_TRUE(Form().PnlSyori1.Visible());
    EXPECT_TRUE(Form().PnlSyori2.Visible());
    EXPECT_EQ(Form().LblStatus1.Text(), status);
    EXPECT_EQ(Form().LblStatus2.Text(), status);
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

TEST_F(FtpJobs, UploadThenDownloadIntoAnotherDataFolderGivesTheSameAddressBook) {
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    Form().ChkPassive.SetChecked(passive);
    MessageBoxWatcher boxes;
    UseDataFolder(a_);
    n2test::RemoveTree(Book(a_));
    WriteTree(Book(a_), kBookA);

    Form().BtnUploadClick();
    EXPECT_EQ(JobKind, jkFtpUpload);
    ExpectBusy("Upload of address book");
    ASSERT_TRUE(WaitIdle());
    ExpectIdle();
    ASSERT_TRUE(PathExists(ServerArchive()));
    EXPECT_EQ(ReadFileBytes(ServerArchive()), ReadFileBytes(a_ / "N2AddBook.zip"));
    EXPECT_EQ(DmN2->NetFtp.State(), TFtpState::Ready);
    EXPECT_FALSE(DmN2->NetFtp.Connected());

    // Another user, new to the shared book: a file of their own stays, the shared ones arrive.
    UseDataFolder(b_);
    n2test::RemoveTree(Book(b_));
    ::DeleteFileA((b_ / "N2AddBook.agreed").c_str());
    WriteTree(Book(b_), {{"mine.vcf", Card("Mia")}, {"a.vcf", Card("Old Ann")}});
    Form().BtnDownloadClick();
    EXPECT_EQ(JobKind, jkFtpDownload);
    ExpectBusy("Download of address book");
    ASSERT_TRUE(WaitIdle());
    ExpectIdle();
    Tree expected = kBookA;
    expected["mine.vcf"] = Card("Mia");
    EXPECT_EQ(ReadTree(Book(b_)), expected);
    EXPECT_EQ(ReadFileBytes(b_ / "N2AddBook.zip"), ReadFileBytes(ServerArchive()));
    // Its own a.vcf is saved aside, and a box says so.
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0].rfind("Norvel2 plug-in Velmora\r\n1 card of this computer differed from the shared "
                                     "address book",
                                     0),
              0u)
        << boxes.Texts()[0];
    EXPECT_NE(boxes.Texts()[0].find(b_.Path() + "N2Conflicts\\"), std::string::npos);
  }
}

TEST_F(FtpJobs, AChangeInTheFolderUploadsAndTheTimerDownloads) {
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  DmN2->NotifyN2.Directory = AddrBookFolder;
  DmN2->NotifyN2.Activate();
  WriteFileBytes(Book(a_) + "\\new.vcf", Card("Ned"));
  ASSERT_TRUE(PumpMessagesUntil([&] { return PathExists(ServerArchive()) && Ready; }, 30000));
  DmN2->NotifyN2.Deactivate();
  DmN2->NotifyN2.OnDirectoryChanged = nullptr;  // a change still on its way goes nowhere
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(JobKind, jkFtpUpload);
  ExpectIdle();
  // The status labels keep the text of the last job started at start-up or by hand: none yet.
  EXPECT_EQ(Form().LblStatus1.Text(), "");
  const std::string archive = ReadFileBytes(ServerArchive());
  EXPECT_NE(archive.find("AddrBook/new.vcf"), std::string::npos);

  // The 10-minute timer, here much shorter, downloads into another data folder.
  UseDataFolder(b_);
  DmN2->TimN2.SetInterval(20);
  DmN2->TimN2.SetEnabled(true);
  ASSERT_TRUE(PumpMessagesUntil([] { return !Ready; }));
  DmN2->TimN2.SetEnabled(false);
  EXPECT_EQ(JobKind, jkFtpDownload);
  ASSERT_TRUE(WaitIdle());
  Tree expected = kBookA;
  expected["new.vcf"] = Card("Ned");
  EXPECT_EQ(ReadTree(Book(b_)), expected);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(FtpJobs, TriggersAndButtonsWhileAJobRunsStartNothingAndKeepJobKind) {
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  Form().BtnDownloadClick();
  ASSERT_FALSE(Ready);
  TN2Thread* worker = Form().Worker.get();
  ASSERT_NE(worker, nullptr);
  Form().SetDialogEnabled(true);
  Form().PnlSyori1.Hide();
  Form().PnlSyori2.Hide();
  DmN2->TimN2Timer(DmN2->TimN2);
  ExpectBusy("Download of address book");
  DmN2->NotifyN2DirectoryChanged(DmN2->NotifyN2);
  Form().BtnUploadClick();
  Form().BtnClearClick();
  ExpectBusy("Cleaning of address book");
  EXPECT_EQ(JobKind, jkFtpDownload);
  EXPECT_EQ(Form().Worker.get(), worker);
  ASSERT_TRUE(WaitIdle());
  ExpectIdle();
  EXPECT_TRUE(worker->Finished() || ::WaitForSingleObject(worker->Handle(), 10000) == WAIT_OBJECT_0);
  // Without "Upload on Updates" the upload was dropped, not queued: the server has nothing.
  EXPECT_FALSE(PathExists(ServerArchive()));
  EXPECT_EQ(JobKind, jkFtpDownload);

  // With it, a change reported while a job runs is not dropped: the upload
  // follows once the job has ended.
  Form().ChkUpload.SetChecked(true);
  Form().BtnDownloadClick();
  ASSERT_FALSE(Ready);
  DmN2->NotifyN2DirectoryChanged(DmN2->NotifyN2);
  ASSERT_TRUE(PumpMessagesUntil([&] { return PathExists(ServerArchive()) && Ready; }, 60000));
  EXPECT_EQ(JobKind, jkFtpUpload);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(FtpJobs, AnUnknownJobKindRunsNothingButStillFinishes) {
  MessageBoxWatcher boxes;
  Form().RdoFtp.SetChecked(false);
  Form().RdoHttp.SetChecked(false);
  for (int32_t kind : {0, 7, -1}) {
    SCOPED_TRACE(kind);
    JobKind = kind;
    Form().BtnUploadClick();
    EXPECT_EQ(JobKind, kind);  // neither FTP nor HTTP chosen: the kind stays
    ExpectBusy("Upload of address book");
    ASSERT_TRUE(WaitIdle());
    ExpectIdle();
  }
  EXPECT_FALSE(PathExists(a_ / "N2AddBook.zip"));
  EXPECT_TRUE(boxes.Texts().empty());
}

// Finds the plug-in's message box of this process, if one is shown.
HWND FindBox() {
  struct Search {
    HWND found = nullptr;
    static BOOL CALLBACK Proc(HWND window, LPARAM self) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(window, &process);
      char name[64] = {}, title[64] = {};
      ::GetClassNameA(window, name, sizeof name);
      ::GetWindowTextA(window, title, sizeof title);
      if (process == ::GetCurrentProcessId() && std::string(name) == "#32770" &&
          std::string(title) == "Norvel2! Velmora" && ::IsWindowVisible(window)) {
        reinterpret_cast<Search*>(self)->found = window;
        return FALSE;
      }
      return TRUE;
    }
  } search;
  ::EnumWindows(&Search::Proc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(FtpJobs, AFailedOpenShowsItsBoxAndTheDialogIsIdleOnlyAfterItIsDismissed) {
  WriteFileBytes(a_ / "N2AddBook.zip", "an earlier archive");
  Connect("127.0.0.1:1", "/" + folder_ + "/");  // nothing listens there
  Form().BtnClearClick();
  HWND box = nullptr;
  ASSERT_TRUE(PumpMessagesUntil([&] { return (box = FindBox()) != nullptr; }, 30000));
  EXPECT_EQ(n2test::MessageBoxText(box), kClearText + "Exception\r\nFtp Server Open Error!");
  // The job waits for the user; the dialog stays busy meanwhile.
  PumpMessagesUntil([] { return Ready; }, 300);
  ExpectBusy("Cleaning of address book");
  ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
  ASSERT_TRUE(WaitIdle());
  ExpectIdle();
  EXPECT_FALSE(DmN2->NetFtp.Connected());
  EXPECT_EQ(ReadFileBytes(a_ / "N2AddBook.zip"), "an earlier archive");
}

TEST_F(FtpJobs, AnEmptyPathFailsAtTheFolderAndTransfersNothing) {
  WriteTree(Book(a_), kBookA);
  Connect("127.0.0.1:" + std::to_string(n2test::ServerPort("real")), "");
  {
    MessageBoxWatcher boxes;
    Form().BtnUploadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(boxes.Texts(),
              std::vector<std::string>{kUploadText + "Exception\r\nFtp Server CWD Error! No such file or directory."});
    // The session failed while the book was packed; the archive was made all the same.
    EXPECT_NE(ReadFileBytes(a_ / "N2AddBook.zip").find("AddrBook/a.vcf"), std::string::npos);
  }
  {
    // When the packing fails too, its box is the only one, even though the
    // session failed first (nothing listens on port 1).
    Connect("127.0.0.1:1", "");
    WriteFileBytes(Book(a_) + "\\big.vcf", SlowToPack());
    ScopedHandle lock(::CreateFileA((Book(a_) + "\\a.vcf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    ASSERT_TRUE(lock);
    MessageBoxWatcher boxes;
    Form().BtnUploadClick();
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0].rfind("Norvel2 plug-in Velmora Address Book Compress Error!", 0), 0u);
  }
  EXPECT_FALSE(PathExists(n2test::RealServerRoot() + "N2AddBook.zip"));
}

TEST_F(FtpJobs, AnUploadOpensAgainASessionTheServerClosedWhileTheBookWasPacked) {
  // The session is gone long before the packing ends.
  WriteTree(Book(a_), {{"big.vcf", SlowToPack()}});
  std::vector<std::string> again = Script(Joined({NoBookYet(), StoreAndRename(), {"wait_close"}}));
  again.insert(again.begin(), "next_client");
  ScriptedJobServer server(Script(again));
  ASSERT_TRUE(server.Ready());
  Connect("127.0.0.1:" + server.Port(), "/shared/");
  MessageBoxWatcher boxes;
  Form().BtnUploadClick();
  ASSERT_TRUE(WaitIdle());
  const std::string session = "C:USER n2user\nC:PASS n2pass\nC:CWD /shared/\nC:TYPE I\n";
  const std::string records = server.Finish();
  EXPECT_EQ(records.rfind(session + "E:next-client\n" + session + kFetchNoBookRecords +
                              "C:PASV\nC:STOR N2AddBook.",
                          0),
            0u)
      << records;
  EXPECT_NE(records.find("C:RNTO N2AddBook.zip\n"), std::string::npos) << records;
  EXPECT_TRUE(boxes.Texts().empty());
}

// An upload by hand stores its archive while it is packed when the server
// still holds the archive agreed: what the server ends with is always the
// archive the upload ended with, and a packing that fails replaces nothing.
TEST_F(FtpJobs, AnArchiveStoredWhileItIsPackedIsTheOneTheUploadEndsWith) {
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  Form().BtnUploadClick();  // the first contact: the record agrees on this book
  ASSERT_TRUE(WaitIdle());
  ScopedHandle lock;
  const struct {
    const char* what;
    std::function<void()> change;
    bool packed;
  } cases[] = {
      {"a card changed", [&] { WriteFileBytes(Book(a_) + "\\b.vcf", Card("Bob 2")); }, true},
      // The server's copy brings the card back, and the book is packed again.
      {"a card deleted here",
       [&] {
         ::DeleteFileA((Book(a_) + "\\a.vcf").c_str());
         WriteFileBytes(Book(a_) + "\\b.vcf", Card("Bob 3"));
       },
       true},
      {"the packing fails",
       [&] {
         WriteFileBytes(Book(a_) + "\\b.vcf", Card("Bob 4"));
         lock = ScopedHandle(::CreateFileA((Book(a_) + "\\a.vcf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           0, nullptr));
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = ReadFileBytes(ServerArchive());
    // A card changed that takes long to pack: the session is open long before the packing ends.
    WriteFileBytes(Book(a_) + "\\big.vcf", SlowToPack() + c.what);
    c.change();
    Form().BtnUploadClick();
    ASSERT_TRUE(WaitIdle());
    // (Archives of megabytes are compared, not printed.)
    const std::string after = ReadFileBytes(ServerArchive());
    if (c.packed) {
      EXPECT_TRUE(boxes.Texts().empty());
      EXPECT_TRUE(after == ReadFileBytes(a_ / "N2AddBook.zip"));
      EXPECT_FALSE(after == before);
      EXPECT_TRUE(PathExists(Book(a_) + "\\a.vcf"));
      WIN32_FIND_DATAA found;
      EXPECT_EQ(::FindFirstFileA((ServerFolder() + "\\*.tmp").c_str(), &found), INVALID_HANDLE_VALUE);
    } else {
      ASSERT_EQ(boxes.Texts().size(), 1u);
      EXPECT_EQ(boxes.Texts()[0].rfind("Norvel2 plug-in Velmora Address Book Compress Error!", 0), 0u);
      EXPECT_TRUE(after == before);
    }
  }
}

TEST_F(FtpJobs, ClearThenDownloadLeavesTheLocalAddressBookAsItWas) {
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  Form().BtnUploadClick();
  ASSERT_TRUE(WaitIdle());
  ASSERT_TRUE(PathExists(ServerArchive()));
  Form().BtnClearClick();
  EXPECT_EQ(JobKind, jkFtpClear);
  ExpectBusy("Cleaning of address book");
  ASSERT_TRUE(WaitIdle());
  EXPECT_FALSE(PathExists(ServerArchive()));
  // Clearing what is not there counts as done.
  Form().BtnClearClick();
  ASSERT_TRUE(WaitIdle());

  const Tree before = ReadTree(Book(a_));
  Form().BtnDownloadClick();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(ReadTree(Book(a_)), before);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(FtpJobs, TheServerTextGivesHostAndPortAndTheDialogTheOtherSettings) {
  struct Case {
    const char* server;
    const char* host;
    const char* port;
  } cases[] = {{"ftp.example.com", "ftp.example.com", "ftp"},
               {"ftp.example.com:2121", "ftp.example.com", "2121"},
               {"host:", "host", ""},
               {"a:b:c", "a", "b:c"},
               {" spaced : 21 ", " spaced ", " 21 "},
               {"", "", "ftp"}};
  Form().EdtUser.SetText(" user ");
  Form().EdtPasswd.SetText("p:w");
  Form().EdtPath.SetText("no/slash");
  for (bool passive : {true, false}) {
    Form().ChkPassive.SetChecked(passive);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.server);
      Form().EdtServer.SetText(c.server);
      TFtpTransport transport(DmN2->NetFtp, Form(), kUploadText, ArchivePath());
      transport.AbortSession();
      TFtpClient& ftp = DmN2->NetFtp;
      EXPECT_EQ(ftp.HostName(), c.host);
      EXPECT_EQ(ftp.Port(), c.port);
      EXPECT_EQ(ftp.UserName(), " user ");
      EXPECT_EQ(ftp.PassWord(), "p:w");
      EXPECT_EQ(ftp.HostDirName(), "no/slash");
      EXPECT_EQ(ftp.HostFileName(), "N2AddBook.zip");
      EXPECT_EQ(ftp.LocalFileName(), a_.Path() + "N2AddBook.zip");
      EXPECT_EQ(ftp.Passive(), passive);
      EXPECT_TRUE(ftp.Binary());
      EXPECT_EQ(ftp.Timeout(), 15);
      EXPECT_EQ(ftp.Options(), static_cast<TFtpOptions>(ftpAcceptLF));
      EXPECT_EQ(ftp.ConnectionType(), ftpDirect);
    }
  }
}

TEST_F(FtpJobs, TheJobsSpeakTheProtocolInOrderAndNeverSendQuit) {
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  struct Case {
    std::function<void()> press;
    std::vector<std::string> tail;
    std::string expected;
  } cases[] = {
      // An upload fetches the server's copy first, then stores its book under
      // a name of its own and renames it over the archive.
      {[&] { Form().BtnUploadClick(); },
       Joined({NoBookYet(), StoreAndRename(), {"wait_close"}}),
       kFetchNoBookRecords + std::string("C:PASV\nC:STOR N2AddBook.")},
      // A server that does not rename over a file gets the archive stored in
      // place, and the other name goes.
      {[&] { Form().BtnUploadClick(); },
       Joined({NoBookYet(), Store(), NoSize(), {"expect", "reply 350 ready", "expect", "reply 553 File exists"},
               Store(), {"expect", "reply 250 deleted", "expect", "reply 550 no size", "wait_close"}}),
       kFetchNoBookRecords + std::string("C:PASV\nC:STOR N2AddBook.")},
      {[&] { Form().BtnClearClick(); },
       {"expect", "reply 250 deleted", "wait_close"},
       "C:DELE N2AddBook.zip\nE:closed\n"},
      // A DELE refused for an archive that is not there counts as done.
      {[&] { Form().BtnClearClick(); },
       {"expect", "reply 550 No such file", "expect", "pasv", "expect", "accept", "reply 150 list",
        "send_text other.zip\\r\\n", "close_data", "reply 226 done", "wait_close"},
       "C:DELE N2AddBook.zip\nC:PASV\nC:NLST\nE:data-accepted\nE:closed\n"},
  };
  for (const Case& c : cases) {
    ScriptedJobServer server(Script(c.tail));
    ASSERT_TRUE(server.Ready());
    Connect("127.0.0.1:" + server.Port(), "/shared/");
    c.press();
    ASSERT_TRUE(WaitIdle());
    const std::string records = server.Finish();
    EXPECT_EQ(records.rfind("C:USER n2user\nC:PASS n2pass\nC:CWD /shared/\nC:TYPE I\n" + c.expected, 0), 0u)
        << records;
    EXPECT_EQ(records.find("QUIT"), std::string::npos) << records;
    EXPECT_NE(records.find("E:closed"), std::string::npos) << records;
    // The book reaches its name whole, and is never deleted first. What the
    // server tells of it is asked of the name of its own, before the rename:
    // afterwards it could be a colleague's upload renamed over it.
    if (const size_t stor = records.find("C:STOR N2AddBook."); stor != std::string::npos) {
      const std::string own = records.substr(stor + 7, records.find('\n', stor) - stor - 7);
      EXPECT_NE(records.find("C:SIZE " + own + "\nC:RNFR " + own + "\nC:RNTO N2AddBook.zip\n"), std::string::npos)
          << records;
      EXPECT_EQ(records.find("C:DELE N2AddBook.zip"), std::string::npos) << records;
    }
  }
  EXPECT_TRUE(boxes.Texts().empty());
}

// A folder with Japanese characters goes in UTF-8 to a server that announces
// UTF8 (after OPTS UTF8 ON), and as its code page 932 bytes to one that does
// not; a folder of ASCII characters asks nothing more.
TEST_F(FtpJobs, AJapaneseFolderGoesInUtf8WhereTheServerTakesIt) {
  MessageBoxWatcher boxes;
  const std::string folder = "/\x8B\xA4\x97\x4C/";  // 共有 in code page 932
  const struct {
    std::string path;
    std::vector<std::string> answers;  // between PASS and CWD
    std::string expected;
  } cases[] = {
      {folder, {"expect", "raw 211-Features:\\r\\n UTF8\\r\\n SIZE\\r\\n211 End\\r\\n", "expect", "reply 200 ok"},
       "C:FEAT\nC:OPTS UTF8 ON\nC:CWD /\xE5\x85\xB1\xE6\x9C\x89/\n"},
      {folder, {"expect", "reply 211 No features"}, "C:FEAT\nC:CWD " + folder + "\n"},
      {"/shared/", {}, "C:CWD /shared/\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> script = {"reply 220 hello", "expect", "reply 331 password", "expect", "reply 230 in"};
    script.insert(script.end(), c.answers.begin(), c.answers.end());
    for (const char* step : {"expect", "reply 250 ok", "expect", "reply 200 binary", "expect", "reply 250 deleted",
                             "wait_close"})
      script.push_back(step);
    ScriptedJobServer server(script);
    ASSERT_TRUE(server.Ready());
    Connect("127.0.0.1:" + server.Port(), c.path);
    Form().BtnClearClick();
    ASSERT_TRUE(WaitIdle());
    const std::string records = server.Finish();
    EXPECT_NE(records.find("C:PASS n2pass\n" + c.expected), std::string::npos) << records;
  }
  EXPECT_TRUE(boxes.Texts().empty());
}

// A refusal that is no absence shows the job's box with the server's reply.
TEST_F(FtpJobs, RefusalsShowTheServersReply) {
  WriteTree(Book(a_), kBookA);
  const std::vector<std::string> refused_store = {"expect", "pasv", "expect", "reply 550 Permission denied"};
  const struct {
    std::function<void()> press;
    std::vector<std::string> tail;
    std::string box;
  } cases[] = {
      // A clear refused while the archive is still there.
      {[&] { Form().BtnClearClick(); },
       {"expect", "reply 550 N2AddBook.zip: Permission denied", "expect", "pasv", "expect", "accept",
        "reply 150 list", "send_text N2AddBook.zip\\r\\n", "close_data", "reply 226 done", "wait_close"},
       kClearText + "Exception\r\nFtp Delete Error! 550 N2AddBook.zip: Permission denied"},
      // An upload the server does not take, under either name.
      {[&] { Form().BtnUploadClick(); },
       Joined({NoBookYet(), refused_store, refused_store, {"wait_close"}}),
       kUploadText + "Exception\r\nFtp Upload Error! 550 Permission denied"},
  };
  for (const auto& c : cases) {
    MessageBoxWatcher boxes;
    ScriptedJobServer server(Script(c.tail));
    ASSERT_TRUE(server.Ready());
    Connect("127.0.0.1:" + server.Port(), "/shared/");
    c.press();
    ASSERT_TRUE(WaitIdle());
    server.Finish();
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{c.box});
  }
}

TEST_F(FtpJobs, AFailedDownloadLeavesEveryAddressBookFileAsItWas) {
  WriteTree(Book(a_), {{"x.vcf", Card("Xena")}});
  WriteFileBytes(a_ / "N2AddBook.zip", "not an archive");
  const Tree before = ReadTree(Book(a_));
  const std::string failed = kDownloadText + "Exception\r\nFtp Download Error! ";
  const std::string listed = "send_text -rw-r--r-- 1 ftp ftp 4096 Dec 08 10:00 N2AddBook.zip\\r\\n";
  const struct {
    std::vector<std::string> tail;
    std::vector<std::string> boxes;
  } cases[] = {
      // No archive on the server: nothing to say.
      {Joined({NoBookYet(), {"wait_close"}}), {}},
      // A refusal while the folder lists the archive is no absence; nor is a
      // refusal of a folder that cannot be listed.
      {{"expect", "reply 550 Permission denied", "expect", "pasv", "expect", "reply 550 N2AddBook.zip: Permission denied", "expect", "pasv", "expect",
        "reply 450 No files found", "expect", "pasv", "expect", "accept", "reply 150 list", listed, "close_data",
        "reply 226 done", "wait_close"},
       {failed + "550 N2AddBook.zip: Permission denied"}},
      {{"expect", "reply 550 busy", "expect", "pasv", "expect", "reply 450 File busy", "expect", "pasv", "expect", "reply 550 denied", "expect",
        "pasv", "expect", "reply 550 denied", "wait_close"},
       {failed + "450 File busy"}},
      // The server drops the connection in the middle of the transfer.
      {{"expect", "reply 213 3000", "expect", "reply 213 20261208100000", "expect", "pasv", "expect", "accept",
        "reply 150 go", "send_data 3000", "close"},
       {failed + "500 Control connection closed - Connection closed by server"}},
      // The data connection ends early and the server says so.
      {{"expect", "reply 550 no size", "expect", "pasv", "expect", "accept", "reply 150 go", "send_data 1000", "close_data", "reply 426 broken",
        "wait_close"},
       {failed + "426 broken"}},
  };
  for (const auto& c : cases) {
    MessageBoxWatcher boxes;
    ScriptedJobServer server(Script(c.tail));
    ASSERT_TRUE(server.Ready());
    Connect("127.0.0.1:" + server.Port(), "/shared/");
    Form().BtnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    server.Finish();
    EXPECT_EQ(ReadTree(Book(a_)), before);
    EXPECT_EQ(boxes.Texts(), c.boxes);
  }
}

TEST_F(FtpJobs, ADownloadThatFailsBeforeItsTransferNeverUnpacksAnOlderArchive) {
  // The local archive is from an earlier upload; the card was edited since.
  WriteTree(Book(a_), {{"x.vcf", Card("Xena")}});
  const std::string earlier = n2test::PackedBook(a_.Path());
  WriteFileBytes(a_ / "N2AddBook.zip", earlier);
  WriteFileBytes(Book(a_) + "\\x.vcf", Card("Xena, edited"));
  const Tree edited = ReadTree(Book(a_));
  MessageBoxWatcher boxes;
  ScriptedJobServer server(Script({"expect", "reply 550 no size", "expect", "reply 500 PASV refused"}));
  ASSERT_TRUE(server.Ready());
  Connect("127.0.0.1:" + server.Port(), "/shared/");
  Form().BtnDownloadClick();
  ASSERT_TRUE(WaitIdle());
  server.Finish();
  EXPECT_EQ(ReadTree(Book(a_)), edited);
  EXPECT_EQ(ReadFileBytes(a_ / "N2AddBook.zip"), earlier);
  EXPECT_EQ(boxes.Texts(),
            std::vector<std::string>{kDownloadText + "Exception\r\nFtp Download Error! 500 PASV refused"});
}

TEST_F(FtpJobs, ACutArchiveOnTheServerChangesNothing) {
  // b.vcf is large and does not compress, so that the cut falls inside it.
  std::string noise(64 * 1024, '\0');
  unsigned seed = 12345;
  for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  WriteTree(Book(a_), {{"a.vcf", Card("Ann")}, {"b.vcf", noise}, {"c.vcf", Card("Cid")}});
  MessageBoxWatcher boxes;
  Form().BtnUploadClick();
  ASSERT_TRUE(WaitIdle());
  std::string archive = ReadFileBytes(ServerArchive());
  const size_t b_at = archive.find("AddrBook/b.vcf");
  ASSERT_NE(b_at, std::string::npos);
  // What a download meets while another upload is still writing the archive.
  WriteFileBytes(ServerArchive(), archive.substr(0, b_at + 1000));

  UseDataFolder(b_);
  const Tree old = {{"a.vcf", Card("Old Ann")}, {"b.vcf", Card("Old Bob")}, {"c.vcf", Card("Old Cid")}};
  WriteTree(Book(b_), old);
  Form().BtnDownloadClick();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(ReadTree(Book(b_)), old);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Norvel2 plug-in Velmora Address Book Extract Error!\r\nPlease "
                                                    "try again.\r\nException\r\nThe archive " +
                                                    (b_ / "N2AddBook.zip") + " is incomplete; nothing was unpacked."});
}

TEST_F(FtpJobs, TheStartUpDownloadWaitsBeforeItTouchesAnything) {
  TN2Thread::SetDelayedStartMillisecondsForTesting(1500);
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  Form().BtnUploadClick();
  ASSERT_TRUE(WaitIdle());
  WriteFileBytes(a_ / "N2AddBook.zip", "the archive of an earlier job");
  n2test::RemoveTree(Book(a_));

  const DWORD start = ::GetTickCount();
  ASSERT_TRUE(StartJob(DmN2->JobContext(), jkFtpDownload, jkHttpDownload, TJobTrigger::kStartUp));
  EXPECT_TRUE(DelayedStart);
  EXPECT_EQ(JobKind, jkFtpDownload);
  // Until the delay has passed the local archive is untouched.
  bool untouched = true;
  PumpMessagesUntil(
      [&] {
        if (DelayedStart)
          untouched = untouched && ReadFileBytes(a_ / "N2AddBook.zip") == "the archive of an earlier job";
        return !DelayedStart;
      },
      60000);
  EXPECT_TRUE(untouched);
  const DWORD waited = ::GetTickCount() - start;
  ASSERT_TRUE(WaitIdle());
  EXPECT_GE(waited, 1400u);
  EXPECT_FALSE(DelayedStart);
  EXPECT_EQ(ReadTree(Book(a_)), kBookA);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(FtpJobs, DuringTheShutdownUploadTheTriggersStartNothing) {
  WriteTree(Book(a_), kBookA);
  MessageBoxWatcher boxes;
  // A slow server: the upload waits a while for its log-in, dispatching this thread's messages.
  ScriptedJobServer server(Joined({{"reply 220 hello", "expect", "sleep 1500", "reply 331 password", "expect",
                                    "reply 230 logged in", "expect", "reply 250 ok", "expect", "reply 200 binary"},
                                   NoBookYet(), StoreAndRename(), {"wait_close"}}));
  ASSERT_TRUE(server.Ready());
  Connect("127.0.0.1:" + server.Port(), "/shared/");
  Form().ChkClose.SetChecked(true);
  int ticks = 0;
  DmN2->TimN2.SetOnTimer([&](TTimer& sender) {
    ++ticks;
    DmN2->TimN2Timer(sender);
    Form().BtnDownloadClick();
  });
  DmN2->TimN2.SetInterval(50);
  DmN2->TimN2.SetEnabled(true);
  RunShutdownUpload(DmN2->JobContext());
  DmN2->TimN2.SetEnabled(false);
  EXPECT_GT(ticks, 0);
  EXPECT_EQ(Form().Worker, nullptr);
  EXPECT_EQ(JobKind, 0);
  ExpectIdle();
  const std::string records = server.Finish();
  EXPECT_NE(records.find("C:RNTO N2AddBook.zip"), std::string::npos) << records;
  EXPECT_TRUE(boxes.Texts().empty());

  // Unchecked, or with a job running, nothing is uploaded.
  Form().ChkClose.SetChecked(false);
  RunShutdownUpload(DmN2->JobContext());
  Form().ChkClose.SetChecked(true);
  Ready = false;
  RunShutdownUpload(DmN2->JobContext());
  Ready = true;
  EXPECT_TRUE(boxes.Texts().empty());
}

}  // namespace
}  // namespace n2
