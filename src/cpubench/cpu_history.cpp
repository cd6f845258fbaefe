#include "cpubench/cpu_history.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include "platform/file_replace.h"
#include "platform/paths.h"
#include "base/language.h"
#include "base/log.h"
#include "base/json_input.h"
#include "base/text.h"

namespace sorvanta::cpubench {
namespace {

double NumberOr0(const Json::Value& v) { return v.isNumeric() ? v.asDouble() : 0.0; }

// An integer that jsoncpp can hold as int; doubles are truncated when in range.
int32_t IntOr0(const Json::Value& v) {
  if (v.isInt()) return v.asInt();
  if (v.isDouble()) {
    double d = v.asDouble();
    if (d > std::numeric_limits<int32_t>::min() - 1.0 && d < std::numeric_limits<int32_t>::max() + 1.0)
      return static_cast<int32_t>(d);
  }
  return 0;
}

const Json::Value& Member(const Json::Value& obj, const char* key) {
  if (!obj.isObject()) return Json::Value::nullSingleton();
  const Json::Value* v = obj.find(key, key + std::char_traits<char>::length(key));
  return v ? *v : Json::Value::nullSingleton();
}

CpuScoreRecord RecordFrom(const Json::Value& e) {
  CpuScoreRecord r;
  r.singlecore = IntOr0(Member(e, "singlecore"));
  r.ratio = NumberOr0(Member(e, "ratio"));
  const Json::Value& cores = Member(e, "multicore");
  if (cores.isArray()) {
    for (Json::ArrayIndex i = 0; i < cores.size(); ++i) {
      r.coreValues.push_back(IntOr0(Member(cores[i], "value")));
      r.coreRatios.push_back(NumberOr0(Member(cores[i], "ratio")));
    }
  }
  r.scoreratio = NumberOr0(Member(e, "scoreratio"));
  double runtime = NumberOr0(Member(e, "runtime"));
  if (runtime > -9.2e18 && runtime < 9.2e18) r.runtime = static_cast<int64_t>(runtime);
  const Json::Value& maxSingle = Member(e, "maxsinglecore");
  const Json::Value& maxMulti = Member(e, "maxmulticore");
  r.maxsinglecore = maxSingle.isInt() ? maxSingle.asInt() : 0;
  r.maxmulticore = maxMulti.isInt() ? maxMulti.asInt() : 0;
  return r;
}

std::string Fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, static_cast<double>(static_cast<float>(value)));
  return buf;
}

// Columns on a terminal: CJK and other wide characters take two.
size_t DisplayWidth(const std::string& s) {
  size_t width = 0;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    width += len >= 3 ? 2 : 1;
    i += len;
  }
  return width;
}

std::string Pad(const std::string& s, size_t width) {
  size_t w = DisplayWidth(s);
  return w >= width ? s : s + std::string(width - w, ' ');
}

}  // namespace

namespace {

// The whole file at path, read without following a link; nullopt when it cannot be read.
std::optional<std::string> ReadPlainFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buf[65536];
  ssize_t got;
  while ((got = ::read(fd, buf, sizeof(buf))) > 0) bytes.append(buf, static_cast<size_t>(got));
  ::close(fd);
  if (got < 0) return std::nullopt;
  return bytes;
}

// The records between the brackets of a history array, blanks around them dropped.
std::string ArrayBody(const std::string& text) {
  const size_t open = text.find('[');
  const size_t close = text.rfind(']');
  if (open == std::string::npos || close == std::string::npos || close <= open) return "";
  const size_t first = text.find_first_not_of(" \t\r\n", open + 1);
  const size_t last = text.find_last_not_of(" \t\r\n", close - 1);
  return first == std::string::npos || first >= close ? "" : text.substr(first, last - first + 1);
}

// Puts the old file's bytes at to, keeping it: an atomic rename where both lie on one file
// system and to is free, else a copy written whole and read back. False leaves from alone.
bool MoveWhole(const std::string& from, const std::string& to, mode_t mode) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return false;
  std::optional<std::string> bytes = ReadPlainFile(from);
  if (!bytes || !platform::ReplaceFileContents(to, *bytes, mode).ok()) return false;
  if (ReadPlainFile(to) != bytes) return false;
  return ::unlink(from.c_str()) == 0;
}

}  // namespace

bool MoveCpuHistory(const std::string& oldPath, const std::string& newPath) {
  struct stat old {};
  if (::lstat(oldPath.c_str(), &old) != 0) return errno == ENOENT;
  if (!S_ISREG(old.st_mode)) return false;  // a link or anything else is not the user's history
  const mode_t mode = old.st_mode & 0777;
  struct stat now {};
  if (::lstat(newPath.c_str(), &now) != 0) {
    if (MoveWhole(oldPath, newPath, mode)) return true;
    if (::lstat(newPath.c_str(), &now) != 0) {
      LogLine("CPU history not moved from " + oldPath + " to " + newPath, kLogError, false);
      return false;
    }
  }
  // Both exist (the new one written by a newer copy of the program meanwhile): the old
  // records come first, the newer ones after them, each kept byte for byte.
  std::optional<std::string> oldText = ReadPlainFile(oldPath);
  std::optional<std::string> newText = ReadPlainFile(newPath);
  Json::Value oldArray, newArray, merged;
  if (oldText && newText && ParseJsonInput(*oldText, &oldArray) && oldArray.isArray() &&
      ParseJsonInput(*newText, &newArray) && newArray.isArray()) {
    const std::string a = ArrayBody(*oldText), b = ArrayBody(*newText);
    const std::string text = "[\r\n" + a + (a.empty() || b.empty() ? "" : ",\r\n") + b + "\r\n]";
    if (ParseJsonInput(text, &merged) && merged.isArray() && merged.size() == oldArray.size() + newArray.size() &&
        platform::ReplaceFileContents(newPath, text, mode).ok())
      return ::unlink(oldPath.c_str()) == 0;
  }
  // Something that is no history array, or a write that failed: the old file is kept beside
  // the new one under a free name, never dropped.
  const std::string folder = newPath.substr(0, newPath.rfind('/'));
  for (int i = 1; i < 1000; ++i) {
    const std::string kept = platform::JoinPath(folder, "cputest-" + std::to_string(i) + ".bin");
    if (::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0) {
      LogLine("CPU history " + oldPath + " kept as " + kept + " beside " + newPath, kLogError, false);
      return true;
    }
    if (errno != EEXIST) break;
  }
  LogLine("CPU history not moved from " + oldPath + " to " + newPath, kLogError, false);
  return false;
}

std::string CpuHistoryPath() {
  const std::string data = platform::LocalAppDataFolder();
  if (data.empty()) return "";
  const std::string folder = platform::JoinPath(data, "sorvanta");
  ::mkdir(folder.c_str(), 0755);
  const std::string path = platform::JoinPath(folder, "cputest.bin");
  // Older versions kept the file directly in the data folder.
  MoveCpuHistory(platform::JoinPath(data, "cputest.bin"), path);
  return path;
}

std::vector<CpuScoreRecord> ParseCpuHistory(const std::string& text) {
  std::vector<CpuScoreRecord> history;
  Json::Value root;
  if (!ParseJsonInput(text, &root) || !root.isArray()) return history;
  for (Json::ArrayIndex i = 0; i < root.size(); ++i) history.push_back(RecordFrom(root[i]));
  return history;
}

std::vector<CpuScoreRecord> LoadCpuHistory(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream s;
  s << in.rdbuf();
  return ParseCpuHistory(s.str());
}

std::vector<CpuScoreRecord> LoadCpuHistory() { return LoadCpuHistory(CpuHistoryPath()); }

std::vector<CpuRecordRow> CpuRecordRows(const CpuScoreRecord& r) {
  std::vector<CpuRecordRow> rows;
  rows.push_back({Tr("单核跑分"), IntText(r.singlecore), Fixed(r.ratio, 3)});
  long long sum = 0;
  for (size_t i = 0; i < r.coreValues.size(); ++i) {
    double ratio = i < r.coreRatios.size() ? r.coreRatios[i] : 0.0;
    rows.push_back({FormatText(Tr("核心%zu跑分"), i), IntText(r.coreValues[i]), Fixed(ratio, 3)});
    sum += r.coreValues[i];
  }
  rows.push_back({Tr("多核总分"), IntText(sum), ""});
  // A single-core score of 0 would divide by zero; the multiplier then reads 0.00.
  double multiplier = r.singlecore != 0 ? static_cast<double>(sum) / r.singlecore : 0.0;
  rows.push_back({Tr("倍率"), Fixed(multiplier, 2), ""});
  std::time_t t = static_cast<std::time_t>(r.runtime);
  std::tm local{};
  char when[64] = "";
  if (localtime_r(&t, &local))
    std::snprintf(when, sizeof(when), "%d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  rows.push_back({Tr("跑分时间"), when, ""});
  if (r.maxsinglecore >= 1) {
    rows.push_back({Tr("单核参考"), IntText(r.maxsinglecore), ""});
    rows.push_back({Tr("多核参考"), IntText(r.maxmulticore), ""});
  }
  return rows;
}

std::string CpuRecordAgeLabel(const CpuScoreRecord& r, std::time_t now) {
  const long long d = static_cast<long long>(now) - r.runtime;
  if (d < 60) return Tr("刚刚");
  if (d < 3600) return FormatText(Tr("%lld 分钟前"), d / 60);
  if (d < 86400) return FormatText(Tr("%.1f 小时前"), d / 3600.0);
  return FormatText(Tr("%.1f 天前"), d / 86400.0);
}

int PreviousRecordIndex(int shown, int count) {
  if (shown < 0 || count <= 0) return -1;
  return shown == 0 ? count - 1 : shown - 1;
}

int NextRecordIndex(int shown, int count) {
  if (shown < 0 || count <= 0) return -1;
  return shown + 1 >= count ? 0 : shown + 1;
}

std::string CpuRecordText(const std::vector<CpuRecordRow>& rows, const std::string& age) {
  const std::string item = Tr("项目"), value = Tr("数值");
  size_t w0 = DisplayWidth(item), w1 = DisplayWidth(value);
  for (const auto& row : rows) {
    w0 = std::max(w0, DisplayWidth(row.item));
    w1 = std::max(w1, DisplayWidth(row.value));
  }
  auto line = [&](const std::string& item, const std::string& value, const std::string& ratio) {
    std::string text = Pad(item, w0) + "  " + (ratio.empty() ? value : Pad(value, w1) + "  " + ratio);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  std::string text = line(item, value, Tr("系数"));
  for (const auto& row : rows) text += line(row.item, row.value, row.ratio);
  return text + "(" + age + ")\n";
}

}  // namespace sorvanta::cpubench
