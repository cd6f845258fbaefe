#include "cpubench/exam_worker.h"

#include <json/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "base/crypto.h"
#include "base/json_input.h"
#include "service/requests.h"
#include "base/language.h"
#include "base/text.h"

namespace sorvanta::cpubench {
namespace {

// Upper bound of the answers reserved ahead, so that the timed loop does not grow the
// string on ordinary papers while a huge paper cannot reserve a huge block up front.
constexpr size_t kAnswerReserveBlocks = 65536;

uint8_t* AllocateWorkBuffer() {
  void* p = nullptr;
  if (posix_memalign(&p, 64, kExamWorkBufferSize) != 0) throw std::bad_alloc();
  return static_cast<uint8_t*>(p);
}

}  // namespace

void DecodeBlockKey(const std::string& sm4key, uint8_t key[16]) {
  // HexDecode refuses, leaving key alone, a text of more than 16 bytes.
  HexDecode(sm4key, key, kSm4KeySize);
}

ExamBlockWorker::ExamBlockWorker() : a_(AllocateWorkBuffer()), b_(AllocateWorkBuffer()) {
  std::memset(key_, 0, sizeof(key_));
}

ExamBlockWorker::~ExamBlockWorker() {
  std::free(a_);
  std::free(b_);
}

bool ExamBlockWorker::WorkBlock(const uint8_t* block, const std::string& sm4key, uint8_t answer[32]) {
  DecodeBlockKey(sm4key, key_);
  std::memset(a_, 0, kExamWorkBufferSize);
  std::memcpy(a_, block, kExamBlockSize);
  Sm3DigestBlocks(a_, kExamWorkBufferSize, answer);
  size_t len = kExamWorkBufferSize;
  Sm4EcbCrypt(b_, key_, a_, &len, 1);
  Sm4EcbCrypt(b_, key_, b_, &len, 0);
  uint8_t check[32];
  Sm3DigestBlocks(b_, kExamWorkBufferSize, check);
  return std::memcmp(check, answer, sizeof(check)) == 0;
}

std::string StartExamBody(const GM_ExamData& data) {
  Json::Value body(Json::objectValue);
  body["token"] = data.token;
  Json::Value paper(Json::objectValue);
  paper["examFile"] = data.examFile;
  body["examstart"] = Json::Value(Json::arrayValue);
  body["examstart"].append(paper);
  return body.toStyledString();
}

bool AcceptStartExamReply(const std::string& reply, GM_ExamData* data) {
  Json::Value root;
  if (!ParseJsonInput(reply, &root)) return false;
  if (!root.isArray() || root.empty()) return false;
  for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
    const Json::Value& e = root[i];
    if (!e.isObject()) continue;
    const Json::Value& rf = e["randFile"];
    if (!rf.isString() || rf.asString() != data->examFile) continue;
    const Json::Value& key = e["sm4key"];
    const Json::Value& id = e["id"];
    data->sm4key = key.isString() ? key.asString() : std::string();
    data->id = id.isInt() ? id.asInt() : 0;
    return true;
  }
  return false;
}

std::string EndExamBody(const GM_ExamData& data) {
  Json::Value body(Json::objectValue);
  body["token"] = data.token;
  body["answersm3"] = Sm3HexDigest(data.answers.data(), data.answers.size());
  body["id"] = data.id;
  return body.toStyledString();
}

long WorkExamPaper(GM_ExamData* data, uint32_t budgetMs, ExamBlockWorker* work) {
  const size_t blocks = data->paper.size() / kExamBlockSize;
  data->answers.reserve(data->answers.size() + std::min(blocks, kAnswerReserveBlocks) * kExamBlockSize);
  const uint8_t* paper = reinterpret_cast<const uint8_t*>(data->paper.data());
  uint8_t answer[32];
  long worked = 0;
  const uint32_t t0 = platform::TickMs();
  for (size_t k = 0; k < blocks; ++k) {
    const bool sound = work->WorkBlock(paper + k * kExamBlockSize, data->sm4key, answer);
    data->answers.append(reinterpret_cast<const char*>(answer), sizeof(answer));
    if (!sound) return -1;
    ++worked;
    if (platform::TickDiff(platform::TickMs(), t0) > budgetMs) break;
  }
  return worked;
}

void ExamWorker(GM_ExamData* data, const CpuExamOptions& options, CpuEvents& events) {
  ExamBlockWorker work;

  if (!platform::PinCurrentThreadToNthCpu(data->coreid))
    events.Status(FormatText(Tr("线程%d绑定CPU核失败！但测试依然继续..."), data->coreid));

  std::string reply = ServicePostText(ServiceUrl("sorvanta/startexam"), StartExamBody(*data)).value_or("");
  if (!AcceptStartExamReply(reply, data)) {
    events.Status(Tr("开始考试失败！"));
    return;
  }

  if (WorkExamPaper(data, options.examBudgetMs, &work) < 0) {
    events.Status("SM4 FAILED!!!");
    return;
  }

  reply = ServicePostText(ServiceUrl("sorvanta/endexam"), EndExamBody(*data)).value_or("");
  if (reply != "ok") events.Status(Tr("结束考试失败：") + reply);
}

}  // namespace sorvanta::cpubench
