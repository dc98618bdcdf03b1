// The jobs as the mail client meets them: the plug-in loaded by our host in a
// process of its own, its settings file beside it, against the real FTP
// server of the test fixture. The host presses the dialog's buttons and waits
// for the job, and answers the plug-in's message boxes, printing them.
#include <gtest/gtest.h>

#include "tests/sync/job_test_support.h"

namespace n2 {
namespace {

using n2test::Card;
using n2test::PathExists;
using n2test::PluginSandbox;
using n2test::ReadFileBytes;
using n2test::ReadTree;
using n2test::RunHost;
using n2test::Tree;
using n2test::WriteTree;

class HostJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = n2test::ServerPort("real");
    ASSERT_NE(port_, 0) << "the FTP server fixture did not start";
    static int counter = 0;
    folder_ = "host" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(++counter);
    ASSERT_TRUE(::CreateDirectoryA(ServerFolder().c_str(), nullptr));
  }
  void TearDown() override { n2test::RemoveTree(ServerFolder()); }

  std::string ServerFolder() const { return n2test::RealServerRoot() + folder_; }
  std::string ServerArchive() const { return ServerFolder() + "\\N2AddBook.zip"; }

  static void Configure(const PluginSandbox& sandbox, const std::string& server, const std::string& path,
                        bool upload_on_shutdown, bool download_on_start = false) {
    sandbox.WriteSettings("[Setup]\r\nUserName=n2user\r\nPasswd=n2pass\r\nChkUpload=0\r\nChkAuto=0\r\nChkStart=" +
                          std::string(download_on_start ? "1" : "0") +
                          "\r\nChkClose=" + std::string(upload_on_shutdown ? "1" : "0") +
                          "\r\n\r\n[Server]\r\nType=0\r\nChkPassive=1\r\nServerName=" + server + "\r\nPath=" + path +
                          "\r\n");
  }
  void Configure(const PluginSandbox& sandbox, bool upload_on_shutdown, bool download_on_start = false) const {
    Configure(sandbox, "127.0.0.1:" + std::to_string(port_), "/" + folder_ + "/", upload_on_shutdown,
              download_on_start);
  }
  static std::string Book(const PluginSandbox& sandbox) { return sandbox.DataFolder() + "AddrBook"; }

  static n2test::ProcessResult Run(const PluginSandbox& sandbox, const std::string& commands) {
    std::string data = sandbox.DataFolder();
    data.pop_back();  // the host adds it; a backslash before the quote would escape it
    auto run = RunHost("n2host.exe", "--answer-boxes --version 2.00.06 --data \"" + data + "\" --plugin \"" +
                                         sandbox.ModulePath() + "\" " + commands,
                       120000);
    // The host's standard output ends its lines with CR LF.
    std::erase(run.output, '\r');
    return run;
  }

  const Tree kBook = {{"ann.vcf", Card("Ann")}, {"groups\\", ""}, {"groups\\team.vcf", Card("Ted")}};
  int port_ = 0;
  std::string folder_;
};

TEST_F(HostJobs, ExitUploadsWhenUploadOnShutdownIsChecked) {
  PluginSandbox sandbox;
  Configure(sandbox, true);
  WriteTree(Book(sandbox), kBook);
  auto run = Run(sandbox, "start exit unload");
  ASSERT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_NE(run.output.find("NVC_OnExit=0\nunloaded\n"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("box:"), std::string::npos) << run.output;
  ASSERT_TRUE(PathExists(ServerArchive()));
  EXPECT_EQ(ReadFileBytes(ServerArchive()), ReadFileBytes(sandbox.DataFolder() + "N2AddBook.zip"));
  EXPECT_NE(ReadFileBytes(ServerArchive()).find("AddrBook/groups/team.vcf"), std::string::npos);
}

TEST_F(HostJobs, ExitUploadsNothingWhenUploadOnShutdownIsOff) {
  PluginSandbox sandbox;
  Configure(sandbox, false);
  WriteTree(Book(sandbox), kBook);
  auto run = Run(sandbox, "start exit unload");
  ASSERT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_FALSE(PathExists(ServerArchive()));
  EXPECT_FALSE(PathExists(sandbox.DataFolder() + "N2AddBook.zip"));
}

TEST_F(HostJobs, WhileTheStartUpDownloadWaitsNothingIsTransferredAndExitUploadsNothing) {
  PluginSandbox sandbox;
  Configure(sandbox, true, true);
  WriteTree(Book(sandbox), kBook);
  n2test::WriteFileBytes(ServerArchive(), "an archive on the server");
  // The download waits its minute; the host exits long before, and the job
  // pending at exit keeps the shutdown upload from running.
  auto run = Run(sandbox, "start exit unload");
  ASSERT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(ReadFileBytes(ServerArchive()), "an archive on the server");
  EXPECT_FALSE(PathExists(sandbox.DataFolder() + "N2AddBook.zip"));
  EXPECT_EQ(ReadTree(Book(sandbox)), kBook);
}

TEST_F(HostJobs, AFailedShutdownUploadShowsItsBoxAndExitStillReturns) {
  PluginSandbox sandbox;
  Configure(sandbox, "127.0.0.1:1", "/shared/", true);
  WriteTree(Book(sandbox), kBook);
  auto run = Run(sandbox, "start exit windows unload");
  ASSERT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_NE(run.output.find("box: Norvel2 plug-in Velmora FtpUpload Address Book Upload Error!\\r\\nPlease try "
                            "again.\\r\\nException\\r\\nFtp Server Open Error!\nNVC_OnExit=0\n"),
            std::string::npos)
      << run.output;
  // The dialog is hidden afterwards all the same.
  EXPECT_NE(run.output.find("window: Norvel2! plug-in Velmora Ver2.10 visible=0"), std::string::npos) << run.output;
}

TEST_F(HostJobs, OneHostUploadsByHandAndAnotherDownloadsTheSameAddressBook) {
  PluginSandbox first, second;
  Configure(first, false);
  Configure(second, false);
  WriteTree(Book(first), kBook);
  WriteTree(Book(second), {{"own.vcf", Card("Oz")}});
  auto upload = Run(first, "start upload exit unload");
  ASSERT_EQ(upload.exit_code, 0u) << upload.output;
  EXPECT_NE(upload.output.find("upload: done\n"), std::string::npos) << upload.output;
  auto download = Run(second, "start download clear exit unload");
  ASSERT_EQ(download.exit_code, 0u) << download.output;
  EXPECT_NE(download.output.find("download: done\nclear: done\n"), std::string::npos) << download.output;
  EXPECT_EQ(download.output.find("box:"), std::string::npos) << download.output;
  Tree expected = kBook;
  expected["own.vcf"] = Card("Oz");
  EXPECT_EQ(ReadTree(Book(second)), expected);
  EXPECT_FALSE(PathExists(ServerArchive()));  // cleared
}

}  // namespace
}  // namespace n2
