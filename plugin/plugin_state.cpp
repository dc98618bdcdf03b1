#include "plugin/plugin_state.h"

namespace n2 {

std::string DataFolder;
std::string AddrBookFolder;

}  // namespace n2
