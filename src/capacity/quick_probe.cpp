#include "capacity/quick_probe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include "base/crypto.h"
#include "base/language.h"
#include "base/text.h"
#include "platform/direct_io.h"

namespace sorvanta::capacity {
namespace {

constexpr uint64_t kSector = kTagSectorBytes;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMinModule = kMiB;  // the smallest wrap period looked for
constexpr uint64_t kChunk = kMiB;      // flush data and backups of it go in chunks this big
constexpr char kMagic[8] = {'S', 'V', 'P', 'R', 'O', 'B', 'E', '1'};
constexpr uint32_t kMaxNameBytes = 4096;
// Why a probe ended early, where the reason is the probe's own.
constexpr const char* kProbeNoMemoryText = N_("没有足够的内存");
constexpr const char* kProbeTooSmallText = N_("磁盘太小，无法快速鉴定");

uint64_t AlignDown(uint64_t v) { return v / kSector * kSector; }

// What lay at one place of the drive before the probe wrote there.
struct Kept {
  uint64_t offset = 0;
  std::vector<uint8_t> data;
};

void PutU32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
void PutU64(std::string* s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
uint64_t GetU(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

// An entry's checksum covers its offset and length, so a torn entry never passes.
void EntryDigest(uint64_t offset, uint32_t len, const uint8_t* data, uint8_t digest[32]) {
  std::string head;
  PutU64(&head, offset);
  PutU32(&head, len);
  Sm3Context ctx;
  Sm3Init(&ctx);
  Sm3Update(&ctx, head.data(), head.size());
  Sm3Update(&ctx, data, len);
  Sm3Final(&ctx, digest);
}

// The backup file: a header naming the device, its size and the run tag, then one entry per
// kept place (offset, length, checksum, bytes). It is on the medium before the probe writes.
Status WriteBackupFile(const std::string& path, const std::string& deviceName, uint64_t size, const RunTag& tag,
                       const std::vector<Kept>& kept) {
  auto opened = platform::Files().Open(path, platform::OpenMode::kCreateNew, false);
  if (!opened.ok()) return opened.status();
  std::unique_ptr<platform::File> file = std::move(opened).value();
  std::string head(kMagic, sizeof(kMagic));
  PutU32(&head, static_cast<uint32_t>(deviceName.size()));
  head += deviceName;
  PutU64(&head, size);
  head.append(reinterpret_cast<const char*>(tag.data()), tag.size());
  bool ok = file->Write(head.data(), head.size()) == static_cast<ssize_t>(head.size());
  for (const Kept& k : kept) {
    if (!ok) break;
    std::string entry;
    PutU64(&entry, k.offset);
    PutU32(&entry, static_cast<uint32_t>(k.data.size()));
    uint8_t digest[32];
    EntryDigest(k.offset, static_cast<uint32_t>(k.data.size()), k.data.data(), digest);
    entry.append(reinterpret_cast<const char*>(digest), sizeof(digest));
    ok = file->Write(entry.data(), entry.size()) == static_cast<ssize_t>(entry.size()) &&
         file->Write(k.data.data(), k.data.size()) == static_cast<ssize_t>(k.data.size());
  }
  if (ok && file->Sync()) return Status::Ok();
  Status failed = Status::FromErrno(file->LastError(), FormatText(Tr("写入备份文件 %s"), path.c_str()));
  file.reset();
  platform::Files().Remove(path);
  return failed;
}

struct BackupContents {
  std::string deviceName;
  uint64_t size = 0;
  RunTag tag{};
  std::vector<Kept> kept;
};

Result<BackupContents> ReadBackupFile(const std::string& path) {
  auto opened = platform::Files().Open(path, platform::OpenMode::kReadOnly, false);
  if (!opened.ok()) return opened.status();
  std::unique_ptr<platform::File> file = std::move(opened).value();
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = file->Read(buf, sizeof(buf));
    if (n < 0) return Status::FromErrno(file->LastError(), FormatText(Tr("读取备份文件 %s"), path.c_str()));
    bytes.insert(bytes.end(), buf, buf + n);
    if (n < static_cast<ssize_t>(sizeof(buf))) break;
  }
  const Status notOne = Status::Error(StatusCode::kInvalidArgument, FormatText(Tr("不是快速鉴定的备份文件：%s"), path.c_str()));
  if (bytes.size() < sizeof(kMagic) + 4 || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) return notOne;
  size_t at = sizeof(kMagic);
  const uint64_t nameLen = GetU(&bytes[at], 4);
  at += 4;
  if (nameLen > kMaxNameBytes || bytes.size() < at + nameLen + 8 + 16) return notOne;
  BackupContents c;
  c.deviceName.assign(reinterpret_cast<const char*>(&bytes[at]), nameLen);
  at += nameLen;
  c.size = GetU(&bytes[at], 8);
  at += 8;
  std::memcpy(c.tag.data(), &bytes[at], c.tag.size());
  at += c.tag.size();
  while (bytes.size() >= at + 12 + 32) {
    const uint64_t offset = GetU(&bytes[at], 8);
    const uint64_t len = GetU(&bytes[at + 8], 4);
    const uint8_t* digest = &bytes[at + 12];
    const size_t dataAt = at + 12 + 32;
    if (len == 0 || len % kSector != 0 || bytes.size() - dataAt < len) break;  // cut short
    uint8_t check[32];
    EntryDigest(offset, static_cast<uint32_t>(len), &bytes[dataAt], check);
    if (std::memcmp(check, digest, sizeof(check)) != 0) break;
    c.kept.push_back(Kept{offset, std::vector<uint8_t>(bytes.begin() + dataAt, bytes.begin() + dataAt + len)});
    at = dataAt + len;
  }
  return c;
}

// Writes every kept place back, flushes, and reads each back to compare.
Status WriteBack(ProbeDevice& device, const std::vector<Kept>& kept, uint64_t* bytesWritten) {
  platform::AlignedBuffer buffer(kChunk);
  if (!buffer.ok()) return Status::Error(StatusCode::kFailed, Tr("没有足够的内存恢复备份的数据"));
  // Backward, so that of two places the drive maps to the same cells, the earlier-kept one
  // is written last (both hold the same bytes when kept before any write).
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    std::memcpy(buffer.data(), it->data.data(), it->data.size());
    if (!device.Write(it->offset, buffer.data(), it->data.size()))
      return Status::Error(StatusCode::kIoError, FormatText(Tr("恢复偏移 %llu 处的数据失败"),
                                                            static_cast<unsigned long long>(it->offset)));
    if (bytesWritten) *bytesWritten += it->data.size();
  }
  if (!device.Flush()) return Status::Error(StatusCode::kIoError, Tr("恢复的数据无法同步到磁盘"));
  for (const Kept& k : kept) {
    if (!device.Read(k.offset, buffer.data(), k.data.size()) ||
        std::memcmp(buffer.data(), k.data.data(), k.data.size()) != 0)
      return Status::Error(StatusCode::kIoError, FormatText(Tr("偏移 %llu 处恢复的数据读回不一致"),
                                                            static_cast<unsigned long long>(k.offset)));
  }
  return Status::Ok();
}

// One place the probe writes: a sector under test, a sector where a wrapped write of one
// would land, or a chunk of the flush data.
struct Place {
  enum Role { kTest, kAlias, kFlush } role = kTest;
  uint64_t offset = 0;
  uint64_t length = kSector;
};

class Probe {
 public:
  Probe(ProbeDevice& device, const ProbeOptions& options, ProbeEvents& events, std::stop_token stop)
      : device_(device), options_(options), events_(events), stop_(stop), tag_(NewRunTag()) {}

  ProbeResult Run();

 private:
  // Writes, flushes, reads back and restores one round; the fate of each point goes to
  // fates_. False when the round could not be done or undone (result_ says why).
  bool Round(std::vector<uint64_t> points);
  BlockFate::Kind ReadFate(uint64_t offset, platform::AlignedBuffer& sector);
  void SetError(const Message& why) {
    result_.error = why.shown;
    result_.errorSource = why.source;
  }

  ProbeDevice& device_;
  const ProbeOptions& options_;
  ProbeEvents& events_;
  std::stop_token stop_;
  const RunTag tag_;
  uint64_t size_ = 0;
  uint64_t flushEnd_ = 0;
  uint64_t nextNumber_ = 0;
  std::map<uint64_t, uint64_t> written_;  // number -> offset, every sector written this run
  std::map<uint64_t, BlockFate::Kind> fates_;  // offset of a tested point -> its fate
  ProbeResult result_;
};

BlockFate::Kind Probe::ReadFate(uint64_t offset, platform::AlignedBuffer& sector) {
  if (!device_.Read(offset, sector.data(), kSector)) return BlockFate::kUnreadable;
  uint64_t number = 0;
  if (!ReadBlockTag(sector.data(), tag_, &number)) return BlockFate::kForeign;
  auto it = written_.find(number);
  if (it == written_.end()) return BlockFate::kForeign;
  return it->second == offset ? BlockFate::kOwn : BlockFate::kOther;
}

bool Probe::Round(std::vector<uint64_t> points) {
  std::sort(points.begin(), points.end(), std::greater<>());
  std::vector<Place> plan;
  std::set<uint64_t> taken(points.begin(), points.end());
  for (uint64_t x : points) plan.push_back(Place{Place::kTest, x, kSector});
  for (uint64_t x : points) {
    for (uint64_t m = kMinModule; m < x; m *= 2) {
      const uint64_t a = x % m;
      if (a >= flushEnd_ && taken.insert(a).second) plan.push_back(Place{Place::kAlias, a, kSector});
    }
  }
  for (uint64_t at = 0; at < flushEnd_; at += kChunk)
    plan.push_back(Place{Place::kFlush, at, std::min(kChunk, flushEnd_ - at)});

  // Keep what lies at every place first; a place that cannot be read is not written.
  platform::AlignedBuffer buffer(kChunk);
  if (!buffer.ok()) {
    SetError(SayText(kProbeNoMemoryText));
    return false;
  }
  std::vector<Kept> kept;
  std::vector<Place> writable;
  for (const Place& p : plan) {
    if (device_.Read(p.offset, buffer.data(), p.length)) {
      kept.push_back(Kept{p.offset, std::vector<uint8_t>(buffer.data(), buffer.data() + p.length)});
      writable.push_back(p);
    } else if (p.role == Place::kTest) {
      fates_[p.offset] = BlockFate::kUnreadable;
    }
  }
  Status saved = WriteBackupFile(options_.backupPath, options_.deviceName, device_.Size(), tag_, kept);
  if (!saved.ok()) {
    SetError(Message{saved.message(), saved.message()});
    return false;
  }

  // The sectors under test (highest first), the places wrapped writes of them would land
  // on, then the flush data; every sector carries its own number.
  for (const Place& p : writable) {
    for (uint64_t s = 0; s < p.length; s += kSector) {
      const uint64_t number = nextNumber_++;
      BuildTagSector(buffer.data() + s, number, tag_);
      written_[number] = p.offset + s;
    }
    if (device_.Write(p.offset, buffer.data(), p.length)) result_.verdict.bytesWritten += p.length;
  }
  device_.Flush();

  platform::AlignedBuffer sector(kSector);
  for (const Place& p : writable) {
    if (p.role == Place::kTest) fates_[p.offset] = ReadFate(p.offset, sector);
  }

  Status back = WriteBack(device_, kept, &result_.verdict.bytesWritten);
  if (!back.ok()) {
    result_.restored = false;
    SetError(Message{back.message(), back.message()});
    return false;
  }
  platform::Files().Remove(options_.backupPath);
  return true;
}

ProbeResult Probe::Run() {
  const auto started = std::chrono::steady_clock::now();
  Verdict& v = result_.verdict;
  v.quick = true;
  v.kind = VerdictKind::kIncomplete;
  size_ = AlignDown(device_.Size());
  v.claimedBytes = size_;
  const uint64_t precision = ProbePrecision(size_);
  flushEnd_ = std::min((options_.flushBytes + kSector - 1) / kSector * kSector, AlignDown(size_ / 4));
  result_.highBound = size_;

  auto finish = [&]() {
    v.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    events_.Progress(100);
    return result_;
  };
  if (size_ < 16 * kMiB) {
    SetError(SayText(kProbeTooSmallText));
    return finish();
  }

  // First round: points spread from the end of the flush data to the last sector.
  std::vector<uint64_t> points;
  const uint64_t first = flushEnd_, last = size_ - kSector;
  for (size_t i = 0; i < kProbePointsPerRound; ++i)
    points.push_back(AlignDown(first + (last - first) * i / (kProbePointsPerRound - 1)));
  points.erase(std::unique(points.begin(), points.end()), points.end());

  uint64_t good = 0, bad = size_;
  for (;;) {
    if (stop_.stop_requested()) {
      v.kind = VerdictKind::kStopped;
      return finish();
    }
    ++result_.rounds;
    events_.Log(FormatText(Tr("第 %d 轮：写入并读回 %zu 个位置"), result_.rounds, points.size()));
    if (!Round(points)) return finish();
    events_.Progress(std::min(90, 45 * result_.rounds));

    // The lowest place that did not keep its data, and the highest below it that did.
    bad = size_;
    for (const auto& [offset, fate] : fates_) {
      if (fate != BlockFate::kOwn) {
        bad = offset;
        break;
      }
    }
    good = 0;
    for (const auto& [offset, fate] : fates_) {
      if (offset < bad && fate == BlockFate::kOwn) good = offset + kSector;
    }
    if (bad == size_ || bad - good <= precision) break;
    points.clear();
    for (size_t i = 1; i <= kProbePointsPerRound; ++i) {
      const uint64_t p = AlignDown(good + (bad - good) * i / (kProbePointsPerRound + 1));
      if (p >= flushEnd_ && p > good && p < bad && !fates_.count(p)) points.push_back(p);
    }
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.empty()) break;
  }

  result_.lowBound = good;
  result_.highBound = bad;
  if (bad == size_) {
    v.kind = VerdictKind::kPassed;
    v.estimateBytes = size_;
    return finish();
  }
  bool other = false, foreign = false;
  for (const auto& [offset, fate] : fates_) {
    if (offset < bad) continue;
    other = other || fate == BlockFate::kOther;
    foreign = foreign || fate == BlockFate::kForeign;
  }
  v.kind = VerdictKind::kFailed;
  if (other) {
    // The drive drops address bits: its real size is the power of two between the bounds.
    v.failure = FailureKind::kWrap;
    v.estimateBytes = bad;
    for (uint64_t m = kMinModule; m <= bad; m *= 2) {
      if (m >= good) v.estimateBytes = std::min(v.estimateBytes, m);
    }
  } else {
    v.failure = foreign ? FailureKind::kDrop : FailureKind::kReadError;
    v.estimateBytes = good;
  }
  return finish();
}

}  // namespace

uint64_t ProbePrecision(uint64_t claimedBytes) { return std::max(claimedBytes / 100, 64 * kMiB); }

ProbeResult RunQuickProbe(ProbeDevice& device, const ProbeOptions& options, ProbeEvents& events,
                          std::stop_token stop) {
  Probe probe(device, options, events, stop);
  return probe.Run();
}

std::string ShownProbeError(const std::string& error) {
  for (const char* text : {kProbeNoMemoryText, kProbeTooSmallText}) {
    if (error == text) return Tr(text);
  }
  return error;
}

Result<std::string> ProbeBackupDevice(const std::string& backupPath) {
  auto contents = ReadBackupFile(backupPath);
  if (!contents.ok()) return contents.status();
  return contents.value().deviceName;
}

Status RestoreProbeBackup(const std::string& backupPath, ProbeDevice& device) {
  auto read = ReadBackupFile(backupPath);
  if (!read.ok()) return read.status();
  const BackupContents& c = read.value();
  if (AlignDown(device.Size()) != AlignDown(c.size))
    return Status::Error(StatusCode::kInvalidArgument,
                         FormatText(Tr("磁盘大小与备份记录的不同，不是备份时的磁盘：%s（备份文件保留在 %s）"),
                                    c.deviceName.c_str(), backupPath.c_str()));
  // Each kept place holds either its kept bytes or a sector of the interrupted run, unless
  // this is another drive under the same name: then nothing is written.
  platform::AlignedBuffer buffer(kChunk);
  if (!buffer.ok()) return Status::Error(StatusCode::kFailed, Tr("没有足够的内存恢复备份的数据"));
  size_t sectors = 0, foreign = 0;
  for (const Kept& k : c.kept) {
    if (!device.Read(k.offset, buffer.data(), k.data.size())) continue;
    for (size_t s = 0; s < k.data.size(); s += kSector, ++sectors) {
      uint64_t number = 0;
      if (std::memcmp(buffer.data() + s, k.data.data() + s, kSector) != 0 &&
          !ReadBlockTag(buffer.data() + s, c.tag, &number))
        ++foreign;
    }
  }
  if (foreign * 10 > sectors)
    return Status::Error(StatusCode::kInvalidArgument,
                         FormatText(Tr("磁盘上的数据与备份记录不符，不是备份时的磁盘：%s（备份文件保留在 %s）"),
                                    c.deviceName.c_str(), backupPath.c_str()));
  Status back = WriteBack(device, c.kept, nullptr);
  if (!back.ok()) return back;
  if (!platform::Files().Remove(backupPath)) return Status::FromErrno(errno, FormatText(Tr("删除备份文件 %s"), backupPath.c_str()));
  return Status::Ok();
}

}  // namespace sorvanta::capacity
