// The platform's floor for packing and unpacking an address book: only the
// file operations those need, done on every file of a folder tree through
// the plain Windows API, each timed on its own (and, for a full pack, the
// level-9 deflating that no pack can leave out).
//   floor <data folder ending with a backslash> [operation...]
// works on data\AddrBook and prints one line per operation (all, or those
// named), in seconds:
//   list           walk the tree with attributes, sizes and times
//   read           open, read whole and close every file
//   read_threads   the same on three threads at once, as packing reads
//   read_deflate   read_threads, each file also given its CRC-32 and deflated
//                  at level 9 as soon as it is read: the least a full pack
//                  does (no archive is written)
//   overwrite      write every file's bytes over it in place
//   create         write every file under a new name in a new tree
//   create_threads the same on three threads at once (the folders made
//                  first), as unpacking into an empty folder writes
//   temp_rename    write every file to a temporary file in a folder of its
//                  own, then rename it over the original
// The tree ends as it began (the new tree is deleted again).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "zip/zip_codec.h"
#include "zip/zip_records.h"

namespace {

struct Item {
  std::string relative;  // below AddrBook, "\"-separated
  bool folder;
  std::string bytes;
};

double Seconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "%s failed (error %lu)\n", what.c_str(), ::GetLastError());
  std::exit(1);
}

void List(const std::string& root, const std::string& relative, std::vector<Item>& out) {
  WIN32_FIND_DATAA item;
  HANDLE find = ::FindFirstFileA((root + relative + "*").c_str(), &item);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = item.cFileName;
    if (name == "." || name == "..") continue;
    const bool folder = (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out.push_back(Item{relative + name, folder, {}});
    if (folder) List(root, relative + name + "\\", out);
  } while (::FindNextFileA(find, &item));
  ::FindClose(find);
}

std::string Read(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail("open " + path);
  std::string bytes(::GetFileSize(h, nullptr), '\0');
  DWORD got = 0;
  if (!bytes.empty() && (!::ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                         got != bytes.size()))
    Fail("read " + path);
  ::CloseHandle(h);
  return bytes;
}

void Write(const std::string& path, const std::string& bytes, DWORD disposition) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail("create " + path);
  DWORD put = 0;
  if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) || put != bytes.size())
    Fail("write " + path);
  if (disposition == OPEN_EXISTING) ::SetEndOfFile(h);
  ::CloseHandle(h);
}

// Runs each(item) for every item, on three threads at once.
template <typename Items, typename Each>
void OnThreeThreads(Items& items, Each each) {
  std::atomic<size_t> next{0};
  auto some = [&] {
    for (size_t i; (i = next.fetch_add(1)) < items.size();) each(items[i]);
  };
  std::vector<std::thread> others;
  for (int n = 1; n < 3; ++n) others.emplace_back(some);
  some();
  for (std::thread& other : others) other.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: floor <data folder\\> [operation...]\n");
    return 2;
  }
  const std::string data = argv[1];
  const std::string book = data + "AddrBook\\";
  const std::string copy = data + "FloorCopy\\";
  const std::string temporary = data + "~FloorTmp\\";
  const std::vector<std::string> named(argv + 2, argv + argc);
  auto wanted = [&named](const char* operation) {
    return named.empty() || std::find(named.begin(), named.end(), operation) != named.end();
  };
  const bool writes =
      wanted("overwrite") || wanted("create") || wanted("create_threads") || wanted("temp_rename");
  std::vector<Item> items;

  double t = Seconds();
  List(book, "", items);
  if (wanted("list")) std::printf("list %.3f\n", Seconds() - t);

  if (wanted("read") || writes) {  // the writes write what was read
    t = Seconds();
    for (Item& i : items)
      if (!i.folder) i.bytes = Read(book + i.relative);
    if (wanted("read")) std::printf("read %.3f\n", Seconds() - t);
  }

  if (wanted("read_threads")) {
    t = Seconds();
    OnThreeThreads(items, [&](Item& i) {
      if (!i.folder) i.bytes = Read(book + i.relative);
    });
    std::printf("read_threads %.3f\n", Seconds() - t);
  }

  if (wanted("read_deflate")) {
    t = Seconds();
    OnThreeThreads(items, [&](const Item& i) {
      if (i.folder) return;
      const std::string bytes = Read(book + i.relative);
      n2::Crc32(bytes);
      n2::DeflateRaw(bytes, 9);
    });
    std::printf("read_deflate %.3f\n", Seconds() - t);
  }

  if (wanted("overwrite")) {
    t = Seconds();
    for (const Item& i : items)
      if (!i.folder) Write(book + i.relative, i.bytes, OPEN_EXISTING);
    std::printf("overwrite %.3f\n", Seconds() - t);
  }

  // The creating operations make the folders of the new tree first, then its
  // files; the tree goes again afterwards (not timed), deepest first.
  auto create_folders = [&] {
    if (!::CreateDirectoryA(copy.c_str(), nullptr)) Fail("create folder " + copy);
    for (const Item& i : items)
      if (i.folder && !::CreateDirectoryA((copy + i.relative).c_str(), nullptr))
        Fail("create folder " + copy + i.relative);
  };
  auto remove_copy = [&] {
    for (auto i = items.rbegin(); i != items.rend(); ++i) {
      const std::string path = copy + i->relative;
      if (i->folder ? !::RemoveDirectoryA(path.c_str()) : !::DeleteFileA(path.c_str())) Fail("remove " + path);
    }
    ::RemoveDirectoryA(copy.c_str());
  };

  if (wanted("create")) {
    t = Seconds();
    create_folders();
    for (const Item& i : items)
      if (!i.folder) Write(copy + i.relative, i.bytes, CREATE_NEW);
    std::printf("create %.3f\n", Seconds() - t);
    remove_copy();
  }

  if (wanted("create_threads")) {
    t = Seconds();
    create_folders();
    OnThreeThreads(items, [&](const Item& i) {
      if (!i.folder) Write(copy + i.relative, i.bytes, CREATE_NEW);
    });
    std::printf("create_threads %.3f\n", Seconds() - t);
    remove_copy();
  }

  if (wanted("temp_rename")) {
    t = Seconds();
    if (!::CreateDirectoryA(temporary.c_str(), nullptr)) Fail("create folder " + temporary);
    for (const Item& i : items) {
      if (i.folder) continue;
      const std::string path = temporary + "t";
      Write(path, i.bytes, CREATE_ALWAYS);
      if (!::MoveFileExA(path.c_str(), (book + i.relative).c_str(), MOVEFILE_REPLACE_EXISTING))
        Fail("rename over " + book + i.relative);
    }
    ::RemoveDirectoryA(temporary.c_str());
    std::printf("temp_rename %.3f\n", Seconds() - t);
  }
  return 0;
}
