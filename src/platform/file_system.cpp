// The parts of the file seam that are the same on every platform.
#include "platform/file_system.h"

namespace tarnwick::platform {

int File::Close() {
  if (h_ == kNone) return 0;
  std::intptr_t h = h_;
  h_ = kNone;
  return fs_ ? fs_->CloseHandle(h) : 0;
}

}  // namespace tarnwick::platform
