#include "capacity/verdict.h"

#include <cmath>
#include <cstdio>

#include "base/language.h"
#include "base/text.h"

namespace sorvanta::capacity {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = kMiB * 1024.0;


std::string Gb(uint64_t bytes) { return FormatText("%.2f GB", static_cast<double>(bytes) / kGiB); }
unsigned long long Mb(uint64_t bytes) { return bytes / (1024 * 1024); }

// A verdict is written twice: in Chinese for --json and the files other programs read, and
// in the language of the run for people. text is the Chinese of the code.
const char* Pick(bool shown, const char* text) __attribute__((format_arg(2)));
const char* Pick(bool shown, const char* text) { return shown ? Tr(text) : text; }

std::string Speeds(const Verdict& v, bool shown) {
  auto speed = [](double mbps) { return mbps > 0 ? FormatText("%.2f MB/s", mbps) : std::string("-"); };
  return FormatText(Pick(shown, N_("平均写入 %s，平均读取 %s")), speed(v.writeMBps).c_str(), speed(v.readMBps).c_str());
}

std::string Breakdown(const VerdictBreakdown& b, bool shown) {
  if (b.damagedBytes > 0) {
    return FormatText(Pick(shown, N_("完好 %llu MB，被本次其他数据覆盖 %llu MB，丢失 %llu MB，无法读取 %llu MB，损坏 %llu MB。")),
                      Mb(b.intactBytes), Mb(b.overwrittenBytes), Mb(b.lostBytes), Mb(b.unreadableBytes),
                      Mb(b.damagedBytes));
  }
  return FormatText(Pick(shown, N_("完好 %llu MB，被本次其他数据覆盖 %llu MB，丢失 %llu MB，无法读取 %llu MB。")),
                    Mb(b.intactBytes), Mb(b.overwrittenBytes), Mb(b.lostBytes), Mb(b.unreadableBytes));
}

std::string QuickLine(const Verdict& v, bool shown) {
  const std::string cost = FormatText(Pick(shown, N_("用时 %.0f 秒，写入 %llu MB。")), v.seconds, Mb(v.bytesWritten));
  switch (v.kind) {
    case VerdictKind::kPassed:
      return Pick(shown, N_("快速鉴定未发现扩容迹象；完整检测才能确认每个字节。")) + cost;
    case VerdictKind::kFailed: {
      const char* why = N_("超出部分无法读取");
      if (v.failure == FailureKind::kWrap) why = N_("超出部分的写入回绕覆盖了前面的数据");
      if (v.failure == FailureKind::kDrop) why = N_("超出部分的写入被丢弃");
      return FormatText(Pick(shown, N_("快速鉴定：疑似扩容盘，真实容量约 %s（标称 %s），%s。")), Gb(v.estimateBytes).c_str(),
                        Gb(v.claimedBytes).c_str(), Pick(shown, why)) +
             cost;
    }
    case VerdictKind::kStopped:
      return Pick(shown, N_("快速鉴定已被用户停止，无法得出结论。")) + cost;
    case VerdictKind::kErrors:
    case VerdictKind::kIncomplete:
      return Pick(shown, N_("快速鉴定未完成，无法得出结论。")) + cost;
    case VerdictKind::kNone: break;
  }
  return {};
}

std::string Line(const Verdict& v, bool shown) {
  if (v.quick) return QuickLine(v, shown);
  switch (v.kind) {
    case VerdictKind::kNone:
      return {};
    case VerdictKind::kPassed:
      return FormatText(Pick(shown, N_("检测完成，未发现错误。有效容量 %s（可用空间 %s），%s")), Gb(v.estimateBytes).c_str(),
                        Gb(v.claimedBytes).c_str(), Speeds(v, shown).c_str());
    case VerdictKind::kFailed: {
      const char* what = N_("磁盘有错误（读回的数据已损坏）");
      switch (v.failure) {
        case FailureKind::kWrap: what = N_("疑似扩容盘（超出部分的写入回绕覆盖了前面的数据）"); break;
        case FailureKind::kDrop: what = N_("疑似扩容盘（超出部分的写入被丢弃）"); break;
        case FailureKind::kReadError: what = N_("磁盘有错误（部分数据无法读取）"); break;
        case FailureKind::kCorrupt:
        case FailureKind::kNone: break;
      }
      std::string text = FormatText(Pick(shown, N_("检测结束：%s，真实容量约 %s（可用空间 %s）。")), Pick(shown, what),
                                    Gb(v.estimateBytes).c_str(), Gb(v.claimedBytes).c_str());
      if (v.breakdownKnown) text += Breakdown(v.breakdown, shown);
      return text + Speeds(v, shown);
    }
    case VerdictKind::kErrors: {
      std::string text = FormatText(Pick(shown, N_("检测结束：发现%d个写入或同步错误，数据可能没有完整写入（可用空间 %s）。")),
                                    v.errors, Gb(v.claimedBytes).c_str());
      if (v.breakdownKnown) text += Breakdown(v.breakdown, shown);
      return text + Speeds(v, shown);
    }
    case VerdictKind::kStopped:
      return Pick(shown, N_("检测已被用户停止，无法得出结论。"));
    case VerdictKind::kIncomplete:
      return Pick(shown, N_("检测未完成，无法得出结论。"));
  }
  return {};
}

}  // namespace

VerdictBreakdown BreakdownOfFates(const std::vector<BlockFate>& fates) {
  VerdictBreakdown b;
  for (const BlockFate& f : fates) {
    switch (f.kind) {
      case BlockFate::kOwn:
      case BlockFate::kUntagged:
        (f.mismatch ? b.damagedBytes : b.intactBytes) += f.size;
        break;
      case BlockFate::kOther: b.overwrittenBytes += f.size; break;
      case BlockFate::kForeign: b.lostBytes += f.size; break;
      case BlockFate::kUnreadable: b.unreadableBytes += f.size; break;
    }
  }
  return b;
}

std::string VerdictKindName(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::kPassed: return "passed";
    case VerdictKind::kFailed: return "failed";
    case VerdictKind::kErrors: return "errors";
    case VerdictKind::kStopped: return "stopped";
    case VerdictKind::kIncomplete: return "incomplete";
    case VerdictKind::kNone: break;
  }
  return {};
}

Message VerdictMessage(const Verdict& v) { return Message{Line(v, false), Line(v, true)}; }

std::string VerdictLine(const Verdict& v) { return Line(v, true); }

std::string KeptFileLine(const std::string& path) { return FormatText(Tr("测试文件未删除，请手动删除：%s"), path.c_str()); }

void AddVerdictJson(const Verdict& v, Json::Value* out) {
  Json::Value& o = *out;
  const std::string kind = VerdictKindName(v.kind);
  o["verdict"] = kind.empty() ? Json::Value() : Json::Value(kind);
  if (v.quick && v.kind == VerdictKind::kPassed) o["verdict"] = "noSignOfFake";
  o["verdictText"] = Line(v, false);  // Chinese in every language, like every JSON value
  o["writeMBps"] = std::round(v.writeMBps * 100) / 100;
  o["readMBps"] = std::round(v.readMBps * 100) / 100;
  if (v.breakdownKnown) {
    Json::Value b;
    b["intactBytes"] = Json::UInt64(v.breakdown.intactBytes);
    b["overwrittenBytes"] = Json::UInt64(v.breakdown.overwrittenBytes);
    b["lostBytes"] = Json::UInt64(v.breakdown.lostBytes);
    b["unreadableBytes"] = Json::UInt64(v.breakdown.unreadableBytes);
    b["damagedBytes"] = Json::UInt64(v.breakdown.damagedBytes);
    o["breakdown"] = b;
  } else {
    o["breakdown"] = Json::Value();
  }
  // What a drive that lost data really holds; null when nothing was lost.
  const bool lost = v.kind == VerdictKind::kFailed && v.failure != FailureKind::kNone;
  o["realCapacityEstimate"] = lost ? Json::Value(Json::UInt64(v.estimateBytes)) : Json::Value();
  o["failureKind"] = lost ? Json::Value(FailureKindName(v.failure)) : Json::Value();
  if (v.quick) {
    o["quick"] = true;
    o["seconds"] = std::round(v.seconds * 10) / 10;
    o["bytesWritten"] = Json::UInt64(v.bytesWritten);
  }
}

}  // namespace sorvanta::capacity
