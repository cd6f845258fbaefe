// The score request of one completed disk benchmark row ("sorvanta/diskbench").
#pragma once

#include <string>

#include "service/wire_protocol.h"

namespace sorvanta {

// Posts the row's body with the process's client tag (up to five attempts); the reply (the
// score), or "" when the body could not be built or no attempt succeeded. Blocks: call it off
// the window thread.
std::string PostDiskSubmission(const DiskSubmission& s);

}  // namespace sorvanta
