// Times the HTTP client the way the sync jobs use it, against nginx on
// 127.0.0.1:
//   http_bench PORT LOCAL_DIR RUNS
//   - PUT and GET of LOCAL_DIR\one.bin (1 MB) as a job does them (Abort,
//     request, Abort), RUNS times each, median in ms;
//   - PUT and GET of LOCAL_DIR\fifty.bin (50 MB), in MB/s; the body fetched
//     is written to LOCAL_DIR\ours-fifty-down.bin for comparison.
// The client runs on a worker thread while the main thread dispatches
// messages, as in the plug-in. Prints "key value" lines.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/scoped_handle.h"
#include "net/http_client.h"

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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

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
    std::fprintf(stderr, "usage: http_bench PORT LOCAL_DIR RUNS\n");
    return 2;
  }
  const std::string base = std::string("http://127.0.0.1:") + argv[1] + "/dav/";
  const std::string dir = argv[2];
  const int runs = std::max(1, std::atoi(argv[3]));
  n2::THttpClient http;
  n2::ConfigureNetHttp(http);
  const std::string one = ReadFile(dir + "one.bin"), fifty = ReadFile(dir + "fifty.bin");

  auto put = [&](const std::string& bytes, const std::string& name) {
    n2::MemoryStream body(bytes);
    http.Abort();
    http.SetURL(base + name);
    http.SetRequestBody(&body);
    http.SetRequestBodyPosition(0);
    http.Put();
    http.SetRequestBody(nullptr);
    http.Abort();
  };
  auto get = [&](const std::string& name) {
    n2::MemoryStream body;
    http.Abort();
    http.SetURL(base + name);
    http.SetResponseBody(&body);
    http.Get();
    http.SetResponseBody(nullptr);
    http.Abort();
    return body.Bytes();
  };

  std::vector<double> put1, get1;
  double put50 = 0, get50 = 0;
  std::string fifty_down;
  int failures = 0;
  RunOnWorker([&] {
    try {
      for (int i = 0; i < runs; ++i) {
        double start = Now();
        put(one, "ours-one.bin");
        put1.push_back((Now() - start) * 1000);
      }
      for (int i = 0; i < runs; ++i) {
        double start = Now();
        if (get("ours-one.bin") != one) ++failures;
        get1.push_back((Now() - start) * 1000);
      }
      double start = Now();
      put(fifty, "ours-fifty.bin");
      put50 = 50 / (Now() - start);
      start = Now();
      fifty_down = get("ours-fifty.bin");
      get50 = 50 / (Now() - start);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error: %s\n", e.what());
      ++failures;
    }
  });
  std::ofstream(dir + "ours-fifty-down.bin", std::ios::binary).write(fifty_down.data(), fifty_down.size());
  std::printf("put1_ms %.1f\nget1_ms %.1f\nput50_mbps %.1f\nget50_mbps %.1f\nfailures %d\n", Median(put1),
              Median(get1), put50, get50, failures);
  return failures ? 1 : 0;
}
