// Times the FTP client the way the sync jobs use it, against a server on
// 127.0.0.1, in passive mode:
//   ftp_bench PORT LOCAL_DIR RUNS
//   - the full sequence (Abort, Open, User, Pass, Cwd, TypeSet, Put or Get,
//     Abort) for LOCAL_DIR\one.bin (1 MB), RUNS times each, median in ms;
//   - Put and Get of LOCAL_DIR\fifty.bin (50 MB), the transfer alone, in MB/s;
//   - meanwhile a prober thread posts a message to the main thread every
//     10 ms; the longest time one waited before the main thread handled it.
// The client runs on a worker thread while the main thread dispatches
// messages, as in the plug-in. Prints "key value" lines. With BENCH_TRACE set
// in the environment the client's trace goes to stderr with times in ms.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/hidden_window.h"
#include "base/scoped_handle.h"
#include "net/ftp_client.h"

namespace {

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The longest delay between posting a message to the main thread and its handling.
class StallProbe {
 public:
  static constexpr UINT kProbe = WM_APP + 7;

  StallProbe()
      : window_([this](UINT message, WPARAM, LPARAM, bool& handled) -> LRESULT {
          if (message != kProbe) {
            handled = false;
            return 0;
          }
          double delay = Now() - posted_.load();
          if (measuring_) max_delay_ = std::max(max_delay_.load(), delay);
          pending_ = false;
          return 0;
        }) {
    prober_ = std::thread([this] {
      while (!stop_) {
        if (!pending_.exchange(true)) {
          posted_ = Now();
          window_.Post(kProbe);
        }
        ::Sleep(10);
      }
    });
  }
  ~StallProbe() {
    stop_ = true;
    prober_.join();
  }
  void Measure(bool on) {
    if (on) max_delay_ = 0;
    measuring_ = on;
  }
  double MaxDelayMs() const { return max_delay_ * 1000; }

 private:
  n2::HiddenWindow window_;
  std::atomic<double> posted_{0}, max_delay_{0};
  std::atomic<bool> pending_{false}, measuring_{false}, stop_{false};
  std::thread prober_;
};

template <class Fn>
void RunOnWorker(Fn fn) {
  n2::Event done = n2::Event::ManualReset();
  std::thread worker([&] {
    fn();
    done.Set();
  });
  HANDLE handle = done.Get();
  for (;;) {
    DWORD wait = ::MsgWaitForMultipleObjects(1, &handle, FALSE, 1000, QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    if (wait == WAIT_OBJECT_0) break;
  }
  worker.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: ftp_bench PORT LOCAL_DIR RUNS\n");
    return 2;
  }
  std::string port = argv[1], dir = argv[2];
  int runs = std::max(1, std::atoi(argv[3]));
  n2::TFtpClient ftp;
  ftp.SetHostName("127.0.0.1");
  ftp.SetPort(port);
  ftp.SetUserName("n2user");
  ftp.SetPassWord("n2pass");
  ftp.SetHostDirName("/bench");
  ftp.SetPassive(true);
  ftp.SetBinary(true);
  StallProbe probe;
  if (std::getenv("BENCH_TRACE")) {
    double start = Now();
    ftp.OnDisplay = [start](n2::TCustomFtpClient&, const std::string& text) {
      std::fprintf(stderr, "%9.2f %s\n", (Now() - start) * 1000, text.c_str());
    };
  }
  bool failed = false;

  std::vector<double> login_times;
  auto connect = [&] { return ftp.Abort(), ftp.Open() && ftp.User() && ftp.Pass() && ftp.Cwd() && ftp.TypeSet(); };
  auto sequence = [&](bool put, const std::string& remote, const std::string& local) {
    ftp.SetHostFileName(remote);
    ftp.SetLocalFileName(local);
    double t = Now();
    bool ok = connect();
    login_times.push_back(Now() - t);
    ok = ok && (put ? ftp.Put() : ftp.Get());
    ftp.Abort();
    if (!ok) {
      std::fprintf(stderr, "failed: %s\n", ftp.LastResponse().c_str());
      failed = true;
    }
  };

  std::vector<double> put_times, get_times;
  double put50 = 0, get50 = 0, stall_put = 0, stall_get = 0;
  RunOnWorker([&] {
    for (int i = 0; i < runs; ++i) {
      double t = Now();
      sequence(true, "ours-one.bin", dir + "one.bin");
      put_times.push_back(Now() - t);
      t = Now();
      sequence(false, "ours-one.bin", dir + "ours-one-down.bin");
      get_times.push_back(Now() - t);
    }
    ftp.SetHostFileName("ours-fifty.bin");
    ftp.SetLocalFileName(dir + "fifty.bin");
    if (connect()) {
      probe.Measure(true);
      double t = Now();
      failed |= !ftp.Put();
      put50 = Now() - t;
      probe.Measure(false);
      stall_put = probe.MaxDelayMs();
      ftp.SetLocalFileName(dir + "ours-fifty-down.bin");
      probe.Measure(true);
      t = Now();
      failed |= !ftp.Get();
      get50 = Now() - t;
      probe.Measure(false);
      stall_get = probe.MaxDelayMs();
    } else {
      failed = true;
    }
    ftp.Abort();
  });
  std::printf("login_ms %.1f\n", Median(login_times) * 1000);
  std::printf("seq1_put_ms %.1f\n", Median(put_times) * 1000);
  std::printf("seq1_get_ms %.1f\n", Median(get_times) * 1000);
  std::printf("put50_mbps %.1f\n", put50 > 0 ? 50.0 / put50 : 0);
  std::printf("get50_mbps %.1f\n", get50 > 0 ? 50.0 / get50 : 0);
  std::printf("max_stall_put50_ms %.1f\n", stall_put);
  std::printf("max_stall_get50_ms %.1f\n", stall_get);
  return failed ? 1 : 0;
}
