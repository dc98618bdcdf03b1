// The settings file's text as the plug-in uses it: loaded, its ten keys read
// into the dialog, all ten written back by a save and the file rewritten.
// What a save writes reads back as the same values, and a saved text loaded
// and saved again is unchanged.
#include <string>

#include "fuzz/fuzz_support.h"
#include "settings/mem_ini_file.h"

namespace {

struct Key {
  const char* section;
  const char* name;
  const char* fallback;
};
constexpr Key kKeys[] = {{"Setup", "UserName", ""},   {"Setup", "Passwd", ""},   {"Setup", "ChkUpload", "0"},
                         {"Setup", "ChkAuto", "0"},   {"Setup", "ChkStart", "0"}, {"Setup", "ChkClose", "0"},
                         {"Server", "Type", "0"},     {"Server", "ChkPassive", "0"}, {"Server", "ServerName", ""},
                         {"Server", "Path", ""}};

// A text loaded and written again is a fixed point of loading and writing.
std::string Resaved(const std::string& text) {
  n2::TMemIniFile again;
  again.SetText(text);
  return again.Text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  n2::TMemIniFile ini;
  ini.SetText(input);
  const std::string loaded = ini.Text();
  FUZZ_CHECK(Resaved(loaded) == loaded);

  // The dialog reads every key; the flags and the type become "1"/"0" again
  // (any value but "0" checks a box, only "0" selects FTP).
  std::string values[10];
  for (int i = 0; i < 10; ++i) {
    values[i] = ini.ReadString(kKeys[i].section, kKeys[i].name, kKeys[i].fallback);
    FUZZ_CHECK(values[i].find_first_of("\r\n") == std::string::npos);
    if (i >= 2 && i <= 7) values[i] = values[i] == "0" ? "0" : "1";
  }
  for (int i = 0; i < 10; ++i) ini.WriteString(kKeys[i].section, kKeys[i].name, values[i]);
  const std::string saved = ini.Text();
  FUZZ_CHECK(Resaved(saved) == saved);

  n2::TMemIniFile reread;
  reread.SetText(saved);
  for (int i = 0; i < 10; ++i)
    FUZZ_CHECK(reread.ReadString(kKeys[i].section, kKeys[i].name, "<missing>") == values[i]);
  return 0;
}
