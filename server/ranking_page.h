// The ranking page: one self-contained HTML document (inline style and script, no external
// fonts or scripts) that loads RankingList/cpu.json and RankingList/disk.json.
#pragma once

#include <string>

namespace sorvanta::server {

const std::string& RankingPageHtml();

}  // namespace sorvanta::server
