// The score request of one completed disk benchmark row ("sorvanta/diskbench").
#pragma once

#include <string>

#include "base/status.h"
#include "service/wire_protocol.h"

namespace sorvanta {

// Posts the row's body with the process's client tag (up to five attempts); the reply (the
// score), or why there is none: kInvalidArgument when the body could not be built (nothing is
// sent), else the failures of ServicePostText. Blocks: call it off the window thread.
Result<std::string> PostDiskSubmission(const DiskSubmission& s);

}  // namespace sorvanta
