#include "usbtest/endurance_csv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "base/language.h"
#include "base/text.h"

namespace sorvanta::usbtest {
namespace {

std::string WithoutMs(std::string text) {
  for (size_t at; (at = text.find("ms")) != std::string::npos;) text.erase(at, 2);
  return text;
}

}  // namespace

std::string UsbTestCsvText(const std::vector<UsbTestRow>& rows) {
  // The export is read by other programs: its header stays Chinese in every language.
  std::string text = ZH_("编号,文件,识别U盘用时(ms),拷贝用时(ms),校验结果\r\n");
  for (const auto& row : rows) {
    // The unit goes from the two time columns only: a path may well contain "ms".
    for (int c = 0; c < kUsbTestColumns; ++c) {
      const std::string& cell = row[static_cast<size_t>(c)];
      text += (c == kColReconnect || c == kColCopy ? WithoutMs(cell) : cell) + ",";
    }
    text += "\r\n";
  }
  return Utf8ToGbk(text);
}

bool WriteUsbTestCsv(const std::string& path, const std::vector<UsbTestRow>& rows) {
  const std::string text = UsbTestCsvText(rows);
  // A chosen link is followed, so the file it names is the one replaced.
  char resolved[PATH_MAX];
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return false;
  const std::string target = exists && ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));

  // Written beside the target under a fresh name, flushed, then renamed over it: a failure
  // part-way leaves the old file (or none), never a cut-off one.
  std::string temp = target + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644);
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // The new name reaches the disk with its folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

void UsbTestTable::AddRow(int row, const std::string& number, const std::string& path) {
  if (row < 0) return;
  if (rows_.size() <= static_cast<size_t>(row)) rows_.resize(static_cast<size_t>(row) + 1);
  rows_[static_cast<size_t>(row)][kColNumber] = number;
  rows_[static_cast<size_t>(row)][kColFile] = path;
}

void UsbTestTable::SetCell(int row, int column, const std::string& text) {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size() || column < 0 || column >= kUsbTestColumns) return;
  rows_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
}

}  // namespace sorvanta::usbtest
