// Copying a whole file onto another volume, for the endurance test's timed copy.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"

namespace sorvanta::platform {

// Copies from into to (created or overwritten, mode 0644; a link at to is refused) with copy_file_range, falling
// back to a read/write loop where the kernel cannot copy between the two file systems, and
// flushes the copy to the device with fsync before returning. Sizes are 64-bit. A failure
// names the step ("open <path>", "write", "fsync <path>", ...) and carries its errno; a
// partial copy may remain.
Status CopyWholeFile(const std::string& from, const std::string& to);

}  // namespace sorvanta::platform
