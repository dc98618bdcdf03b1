#include "plugin/norvel_api.h"

#include <cstring>
#include <iterator>

namespace n2 {
namespace {

struct Binding {
  const char* name;
  FARPROC TNorvelAPI::*entry;
};

// The required functions, in the order they are looked up. NVA_SetStatus is
// looked up after them and is required only by the version rule.
constexpr Binding kRequired[] = {
    {"NVA_GetVersion", &TNorvelAPI::GetVersion},
    {"NVA_Command", &TNorvelAPI::Command},
    {"NVA_GetWindowHandles", &TNorvelAPI::GetWindowHandles},
    {"NVA_RegisterCommand", &TNorvelAPI::RegisterCommand},
    {"NVA_RegisterUICallback", &TNorvelAPI::RegisterUICallback},
    {"NVA_GetDataFolder", &TNorvelAPI::GetDataFolder},
    {"NVA_GetTempFolder", &TNorvelAPI::GetTempFolder},
    {"NVA_GetTempFileName", &TNorvelAPI::GetTempFileName},
    {"NVA_GetCurrentMailBox", &TNorvelAPI::GetCurrentMailBox},
    {"NVA_SetCurrentMailBox", &TNorvelAPI::SetCurrentMailBox},
    {"NVA_GetCurrentFolder", &TNorvelAPI::GetCurrentFolder},
    {"NVA_SetCurrentFolder", &TNorvelAPI::SetCurrentFolder},
    {"NVA_GetFolderDisplayName", &TNorvelAPI::GetFolderDisplayName},
    {"NVA_SetMessageText", &TNorvelAPI::SetMessageText},
    {"NVA_GetCurrentMail", &TNorvelAPI::GetCurrentMail},
    {"NVA_SetCurrentMail", &TNorvelAPI::SetCurrentMail},
    {"NVA_GetNextMail", &TNorvelAPI::GetNextMail},
    {"NVA_SetSel", &TNorvelAPI::SetSel},
    {"NVA_AppendMessage", &TNorvelAPI::AppendMessage},
    {"NVA_MoveSelectedMessages", &TNorvelAPI::MoveSelectedMessages},
    {"NVA_GetStatus", &TNorvelAPI::GetStatus},
    {"NVA_ComposeMail", &TNorvelAPI::ComposeMail},
    {"NVA_GetCharSet", &TNorvelAPI::GetCharSet},
    {"NVA_GetSource", &TNorvelAPI::GetSource},
    {"NVA_SetSource", &TNorvelAPI::SetSource},
    {"NVA_GetHeader", &TNorvelAPI::GetHeader},
    {"NVA_GetText", &TNorvelAPI::GetText},
    {"NVA_SetText", &TNorvelAPI::SetText},
    {"NVA_GetSpecifiedHeader", &TNorvelAPI::GetSpecifiedHeader},
    {"NVA_SetSpecifiedHeader", &TNorvelAPI::SetSpecifiedHeader},
    {"NVA_CompGetCharSet", &TNorvelAPI::CompGetCharSet},
    {"NVA_CompGetSource", &TNorvelAPI::CompGetSource},
    {"NVA_CompSetSource", &TNorvelAPI::CompSetSource},
    {"NVA_CompGetHeader", &TNorvelAPI::CompGetHeader},
    {"NVA_CompGetSpecifiedHeader", &TNorvelAPI::CompGetSpecifiedHeader},
    {"NVA_CompSetSpecifiedHeader", &TNorvelAPI::CompSetSpecifiedHeader},
    {"NVA_CompGetText", &TNorvelAPI::CompGetText},
    {"NVA_CompSetText", &TNorvelAPI::CompSetText},
    {"NVA_CompAttachFile", &TNorvelAPI::CompAttachFile},
    {"NVA_Alloc", &TNorvelAPI::Alloc},
    {"NVA_ReAlloc", &TNorvelAPI::ReAlloc},
    {"NVA_Free", &TNorvelAPI::Free},
    {"NVA_ISO_2022_JP", &TNorvelAPI::ISO_2022_JP},
    {"NVA_ISO_2022_KR", &TNorvelAPI::ISO_2022_KR},
    {"NVA_HZ_GB2312", &TNorvelAPI::HZ_GB2312},
    {"NVA_ISO_8859_2", &TNorvelAPI::ISO_8859_2},
    {"NVA_EUC_JP", &TNorvelAPI::EUC_JP},
    {"NVA_UTF_7", &TNorvelAPI::UTF_7},
    {"NVA_UTF_8", &TNorvelAPI::UTF_8},
    {"NVA_B64Convert", &TNorvelAPI::B64Convert},
    {"NVA_QPConvert", &TNorvelAPI::QPConvert},
    {"NVA_MIMEHeader", &TNorvelAPI::MIMEHeader},
    {"NVA_SerializeRcpts", &TNorvelAPI::SerializeRcpts},
    {"NVA_Connect", &TNorvelAPI::Connect},
};
static_assert(std::size(kRequired) == 54);

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Case-insensitive (ASCII) ordering; a prefix is less than the longer text.
int CompareTextFolded(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(FoldAscii(*a));
    unsigned char cb = static_cast<unsigned char>(FoldAscii(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

}  // namespace

bool HostVersionNeedsSetStatus(const char* version) {
  return std::strlen(version) > 7 || CompareTextFolded(version, "2.00.06") >= 0;
}

bool TNorvelAPI::BindFunctions() {
  if (ModuleHandle) return true;
  HMODULE module = ::GetModuleHandleA(nullptr);
  if (reinterpret_cast<UINT_PTR>(module) < 32) return false;
  ModuleHandle = module;
  for (const Binding& binding : kRequired) {
    this->*binding.entry = ::GetProcAddress(module, binding.name);
    if (!(this->*binding.entry)) {
      ModuleHandle = nullptr;
      return false;
    }
  }
  SetStatus = ::GetProcAddress(module, "NVA_SetStatus");
  const char* version = CallGetVersion();
  bool bound = version && (!HostVersionNeedsSetStatus(version) || SetStatus != nullptr);
  if (!bound) ModuleHandle = nullptr;
  return bound;
}

}  // namespace n2
