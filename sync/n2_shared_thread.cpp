#include "sync/n2_shared_thread.h"

namespace n2 {

int32_t JobKind = 0;
bool Ready = false;
bool DelayedStart = false;

}  // namespace n2
