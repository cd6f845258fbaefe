#include "diskbench/disk_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/file_replace.h"
#include "platform/paths.h"
#include "base/text.h"

namespace sorvanta::diskbench {
namespace {

void PutLe64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint64_t GetLe64(const std::string& in, size_t pos) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[pos + static_cast<size_t>(i)]);
  return v;
}

// Writes bytes to path through a temporary file beside it, flushed before the rename.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
  return platform::ReplaceFileContents(path, bytes, 0644).ok();
}

}  // namespace

std::string DiskHistoryFolder() { return platform::JoinPath(platform::LocalAppDataFolder(), "DRIVEHISTORYV2") + "/"; }

std::string DiskHistoryBaseName(const std::string& driveText) {
  std::string base = driveText.substr(0, 127);
  // Do not end in the middle of a UTF-8 sequence.
  if (base.size() < driveText.size()) {
    size_t cut = base.size();
    while (cut > 0 && (static_cast<unsigned char>(driveText[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  for (char& c : base) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == ':' || c == '/' || c == '\\' || u < 0x20 || u == 0x7f) c = '-';
  }
  if (base.empty() || base == "." || base == "..") base = "-" + base;
  return base;
}

std::string EncodeHistoryList(const DiskResultTable& table) {
  std::string out;
  for (const DiskRowCells& row : table) {
    for (const std::string& cell : row) out += (cell.empty() ? std::string("NULL") : cell) + ",";
    out += "\r\n";
  }
  return out;
}

void ApplyHistoryList(const std::string& text, DiskResultTable* table) {
  std::vector<std::string> lines = SplitPieces(text, "\r\n");
  for (size_t r = 0; r < lines.size() && r < table->size(); ++r) {
    std::vector<std::string> fields = SplitPieces(lines[r], ",");
    for (size_t k = 0; k < fields.size() && k < 7; ++k) (*table)[r][k] = fields[k] == "NULL" ? "" : fields[k];
  }
}

std::string EncodeScore(int32_t score) {
  uint32_t u = static_cast<uint32_t>(score);
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xff));
  return out;
}

std::optional<int32_t> DecodeScore(const std::string& bytes) {
  if (bytes.size() < 4) return std::nullopt;
  uint32_t u = 0;
  for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  return static_cast<int32_t>(u);
}

std::string EncodeChart(const DiskChartData& chart) {
  std::string out;
  out.reserve(kChartFileBytes);
  auto put = [&](const std::array<double, kChartPoints>& values) {
    for (double v : values) {
      uint64_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      PutLe64(&out, bits);
    }
  };
  put(chart.x);
  for (const auto& line : chart.y) put(line);
  return out;
}

std::optional<DiskChartData> DecodeChart(const std::string& bytes) {
  if (bytes.size() != kChartFileBytes) return std::nullopt;
  DiskChartData chart;
  size_t pos = 0;
  auto get = [&](std::array<double, kChartPoints>* values) {
    for (double& v : *values) {
      uint64_t bits = GetLe64(bytes, pos);
      std::memcpy(&v, &bits, sizeof v);
      pos += 8;
    }
  };
  get(&chart.x);
  for (auto& line : chart.y) get(&line);
  return chart;
}

bool SaveDiskHistory(const DiskHistoryFiles& files, const DiskResultTable& table, int row, int32_t score,
                     const DiskChartData& chart) {
  std::string folder = files.folder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  ::mkdir(folder.c_str(), 0755);
  bool ok = ReplaceFile(files.List(), EncodeHistoryList(table));
  ok = ReplaceFile(files.Score(row), EncodeScore(score)) && ok;
  ok = ReplaceFile(files.Chart(row), EncodeChart(chart)) && ok;
  return ok;
}

std::optional<std::string> ReadHistoryFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int32_t ScoreFromText(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return 0;
  size_t e = text.find_last_not_of(" \t\r\n");
  std::string s = text.substr(b, e - b + 1);
  size_t digits = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (digits == s.size()) return 0;
  for (size_t i = digits; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return 0;
  errno = 0;
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 0;
  return static_cast<int32_t>(v);
}

double CellNumber(const std::string& text) {
  float v = 0;
  if (std::sscanf(text.c_str(), "%f", &v) != 1) return 0;
  return static_cast<double>(v);
}

}  // namespace sorvanta::diskbench
