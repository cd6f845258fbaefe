#include "server/service_logic.h"

#include <json/json.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "server/exam_protocol.h"
#include "base/crypto.h"
#include "base/text.h"

namespace sorvanta::server {

const char* const kDiskSpeedKeys[7] = {"linerbufferwrite", "linernobufferwrite", "linerread", "fourkwrite",
                                       "fourkread",        "mtfourkwrite",       "mtfourkread"};

namespace {

const int kMaxCpuCount = 255;
const size_t kMaxPlainBytes = 1048576;
// A disk result is a few hundred bytes, but its round count (up to 127) comes from the
// serial: a small cap keeps one request from costing seconds of SM4.
const size_t kMaxDiskCipherBytes = 65536;
const size_t kMaxDeviceField = 256;
// Highest speed in MB/s taken per disk result field, in kDiskSpeedKeys order: about ten
// times the fastest storage there is (sequential; 4 KiB single queue; 4 KiB many threads).
const double kMaxDiskSpeed[7] = {100000, 100000, 100000, 20000, 20000, 100000, 100000};
const char* const kDeviceKeys[] = {"socname", "RELEASE", "HARDWARE", "MODEL", "MANUFACTURER",
                                   "BRAND",   "PRODUCT", "CPU_ABI",  "CPU_ABI2"};

// A refusal whose body already says why, or one whose body the contract fixes (empty, or a
// short credential) with the reason given apart.
Reply Refuse(const std::string& text) { return Reply{false, text, text}; }
Reply Refuse(const std::string& body, const std::string& reason, int retryAfterSec = 0) {
  return Reply{false, body, reason, retryAfterSec};
}
Reply Accept(const std::string& text) { return Reply{true, text, "", 0}; }

// "10分钟" for whole minutes, else "N秒".
std::string DurationText(int seconds) {
  if (seconds >= 60 && seconds % 60 == 0) return std::to_string(seconds / 60) + "分钟";
  return std::to_string(seconds) + "秒";
}

std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) {
    // The system generator is always there on Linux; fall back to it if OpenSSL is not.
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    urandom.read(out.data(), static_cast<std::streamsize>(n));
  }
  return out;
}

uint32_t RandomBelow(uint32_t bound) {
  std::string b = RandomBytes(4);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(b[i]);
  return bound ? v % bound : 0;
}

bool ParseJson(const std::string& text, Json::Value* out) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["stackLimit"] = 64;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), out, &errors);
  } catch (const std::exception&) {
    return false;
  }
}

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  builder["precision"] = 6;
  return Json::writeString(builder, value);
}

bool IsLowerHex(const std::string& s, size_t len) {
  if (s.size() != len) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Text members of the device object, cut to a sane length (on a character boundary).
std::string DeviceField(const Json::Value& object, const char* key) {
  const Json::Value& v = object[key];
  if (!v.isString()) return std::string();
  std::string s = v.asString();
  if (s.size() > kMaxDeviceField) {
    size_t cut = kMaxDeviceField;
    while (cut > 0 && (static_cast<uint8_t>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  if (!IsWellFormedUtf8(s)) return std::string();
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

// Removes the zero padding SM4-ECB added to the plaintext.
void StripZeroPadding(std::string* s) {
  while (!s->empty() && s->back() == '\0') s->pop_back();
}

// One exam named in a submission, with what the checks found.
struct SubmittedExam {
  ExamRecord exam;
  PaperRecord paper;
  std::string answers;
  int64_t blocks = 0;
  int64_t score = 0;
};

}  // namespace

int64_t ExamScore(int64_t blocks, int64_t durationMs, int64_t budgetMs) {
  int64_t span = std::max<int64_t>({durationMs, budgetMs, 1});
  return blocks * 100000 / span;
}

int DiskScore(const double s[7]) {
  double score = 0.25 * (s[0] + s[1]) + 0.5 * s[2] + 8 * s[3] + 10 * s[4] + 1 * s[5] + 1.5 * s[6];
  return static_cast<int>(std::lround(score));
}

namespace {
// The paper-name key: from the operator's service key when given (every instance derives the
// same one), else a random one kept in the store.
std::string PaperNameKey(Store* store, const ServiceOptions& options) {
  if (options.serviceKey.empty()) return store->KeptSecret("paper-names");
  std::string input = "paper-names|" + options.serviceKey;
  uint8_t digest[32];
  Sm3Digest(input.data(), input.size(), digest);
  return std::string(reinterpret_cast<char*>(digest), 16);
}
}  // namespace

ServiceLogic::ServiceLogic(Store* store, const ServiceOptions& options)
    : store_(store), options_(options), paperNameKey_(PaperNameKey(store, options)), limits_(options) {}

namespace {
std::string Sm4Block(const std::string& key16, const uint8_t in[16]) {
  uint8_t out[16];
  size_t len = 16;
  Sm4EcbCrypt(out, reinterpret_cast<const uint8_t*>(key16.data()), in, &len, 1);
  return std::string(reinterpret_cast<char*>(out), 16);
}

// The seed of one paper of a token: its slot encrypted under the token's paper seed.
std::string SlotSeed(const std::string& paperSeed, int slot) {
  uint8_t block[16] = {};
  block[0] = static_cast<uint8_t>(slot);
  block[1] = static_cast<uint8_t>(slot >> 8);
  return Sm4Block(paperSeed, block);
}
}  // namespace

std::string ServiceLogic::PaperName(int64_t tokenId, int slot) const {
  uint8_t block[16] = {};
  for (int i = 0; i < 8; ++i) block[i] = static_cast<uint8_t>(static_cast<uint64_t>(tokenId) >> (8 * i));
  block[8] = static_cast<uint8_t>(slot);
  block[9] = static_cast<uint8_t>(slot >> 8);
  std::string name = Sm4Block(paperNameKey_, block);
  return HexEncode(name.data(), name.size());
}

std::optional<PaperRecord> ServiceLogic::FindPaper(const std::string& name) {
  if (!IsLowerHex(name, 32)) return std::nullopt;
  uint8_t cipher[16];
  if (paperNameKey_.size() == 16 && HexDecode(name, cipher, sizeof cipher)) {
    uint8_t block[16];
    size_t len = 16;
    Sm4EcbCrypt(block, reinterpret_cast<const uint8_t*>(paperNameKey_.data()), cipher, &len, 0);
    // Six zero bytes: a name not made here fails this check but by a chance of 2^-48.
    if (std::all_of(block + 10, block + 16, [](uint8_t b) { return b == 0; })) {
      int64_t tokenId = 0;
      for (int i = 0; i < 8; ++i) tokenId |= static_cast<int64_t>(block[i]) << (8 * i);
      int slot = block[8] | (block[9] << 8);
      std::optional<TokenRecord> token = store_->FindTokenById(tokenId);
      if (!token || token->paperSeed.size() != 16 || slot > token->cpuCount) return std::nullopt;
      PaperRecord p;
      p.name = name;
      p.tokenId = tokenId;
      p.slot = slot;
      p.seed = SlotSeed(token->paperSeed, slot);
      p.bytes = token->paperBytes;
      return p;
    }
  }
  return store_->FindPaper(name);
}

void ServiceLogic::SetClockForTesting(std::function<int64_t()> nowMs) { clock_ = std::move(nowMs); }

int64_t ServiceLogic::NowMs() const {
  if (clock_) return clock_();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void ServiceLogic::ForgetOldTokens() {
  int64_t now = NowSec();
  {
    std::lock_guard<std::mutex> lock(janitorMu_);
    if (now - lastJanitorSec_ < 60) return;
    lastJanitorSec_ = now;
  }
  // Keep tokens a little longer than their lifetime so that a late submission gets the
  // "expired" answer instead of "unknown".
  store_->ForgetTokensBefore(now - 2 * static_cast<int64_t>(options_.tokenLifetimeSec));
}

Reply ServiceLogic::IssueToken(const std::string& body, const std::string& clientAddress) {
  // The cheap checks and the per-address budget come before any decryption.
  const char* const kMalformed = "请求内容格式错误，无法解读本机信息";
  std::string text = Trim(body);
  if (text.size() != 88) return Refuse("", kMalformed);
  if (!limits_.AdmitTokenRequest(clientAddress, NowMs())) {
    return Refuse(Base64Encode(RandomBytes(16)), "本机请求过于频繁（服务器对本机的限制），请在1秒后再试", 1);
  }
  DecodedFingerprint fp;
  if (!DecodeTokenRequestBody(text, &fp)) return Refuse("", kMalformed);
  int64_t now = NowSec();
  if (fp.cpuCount < 1 || fp.cpuCount > kMaxCpuCount) {
    return Refuse("", "逻辑核数" + std::to_string(fp.cpuCount) + "超出1到" + std::to_string(kMaxCpuCount) + "的范围");
  }
  if (std::llabs(now - fp.unixTime) > options_.fingerprintMaxAgeSec) {
    return Refuse("", "本机时钟与服务器相差超过" + DurationText(options_.fingerprintMaxAgeSec) + "，请校准时间后再试");
  }
  ForgetOldTokens();

  TokenRecord token;
  token.key = RandomBytes(16);
  token.rounds = 1 + static_cast<int>(RandomBelow(4));
  token.credential = Base64Encode(token.key + std::string(1, static_cast<char>(token.rounds)));
  token.machine = fp.machine;
  token.cpuCount = fp.cpuCount;
  token.issuedAt = now;
  token.address = clientAddress;
  token.paperSeed = RandomBytes(16);
  token.paperBytes = options_.paperBytes;
  StoreResult result = store_->AddTokenWithin(&token, limits_.TokenLimitsAt(now));
  if (result == StoreResult::kLimited) {
    // A credential of 16 bytes: the client tells its user to come back later. The oldest
    // token in the window may be younger than the window, so this is the longest wait.
    const std::string window = DurationText(options_.rateLimitWindowSec);
    return Refuse(Base64Encode(RandomBytes(16)),
                  "本机在" + window + "内的跑分次数已达服务器对本机的上限，请在" + window + "后再试",
                  options_.rateLimitWindowSec);
  }
  if (result != StoreResult::kOk) return Refuse("", "服务器存储错误");
  std::string reply = token.credential;
  for (int slot = 0; slot <= fp.cpuCount; ++slot) reply += "||" + PaperName(token.id, slot);
  return Accept(reply);
}

bool ServiceLogic::Paper(const std::string& name, std::string* bytes) {
  std::optional<PaperRecord> paper = FindPaper(name);
  if (!paper) return false;
  store_->MarkPapersFetched(paper->tokenId, NowMs());
  *bytes = PaperBytes(paper->seed, static_cast<size_t>(paper->bytes));
  return true;
}

Reply ServiceLogic::StartExam(const std::string& body) {
  Json::Value request;
  if (!ParseJson(body, &request) || !request.isObject()) return Refuse("开始考试失败：请求不是有效的JSON对象");
  const Json::Value& tokenText = request["token"];
  const Json::Value& list = request["examstart"];
  if (!tokenText.isString() || !list.isArray() || list.empty() || list.size() > kMaxCpuCount + 1) {
    return Refuse("开始考试失败：请求缺少token或examstart");
  }
  std::optional<TokenRecord> token = store_->FindToken(tokenText.asString());
  if (!token) return Refuse("开始考试失败：无效的跑分凭证");
  if (token->used) return Refuse("开始考试失败：该跑分凭证已提交成绩");
  if (NowSec() - token->issuedAt > options_.tokenLifetimeSec) return Refuse("开始考试失败：跑分凭证已过期");

  std::vector<std::string> papers, keys;
  std::set<std::string> seen;
  for (const Json::Value& item : list) {
    if (!item.isObject() || !item["examFile"].isString()) return Refuse("开始考试失败：examFile无效");
    std::string name = item["examFile"].asString();
    std::optional<PaperRecord> paper = FindPaper(name);
    if (!paper || paper->tokenId != token->id) return Refuse("开始考试失败：试卷不属于本次跑分");
    if (!seen.insert(name).second) return Refuse("开始考试失败：试卷重复");
    papers.push_back(name);
    keys.push_back(HexEncode(RandomBytes(16).data(), 16));
  }
  // A paper worked before its exam starts would score work done off the clock: the exams
  // must start soon after the papers were fetched. (A retry of a start is not held to it.)
  int64_t allowedMs = static_cast<int64_t>(options_.examStartSlackMs) +
                      2 * (static_cast<int64_t>(options_.examBudgetMs) + options_.examToleranceMs) +
                      500 * static_cast<int64_t>(token->cpuCount + 1);
  if (options_.examStartSlackMs > 0 && token->firstFetchMs > 0 && NowMs() - token->firstFetchMs > allowedMs &&
      !store_->FindExamByPaper(papers[0])) {
    return Refuse("开始考试失败：试卷下载后过久才开考，请重新跑分");
  }
  std::vector<ExamRecord> exams;
  StoreResult result = store_->StartExams(token->id, papers, keys, NowMs(), &exams);
  if (result == StoreResult::kConflict) {
    // The same start again (its reply was lost) gets the exams it started; a list that
    // only partly overlaps exams started before is refused.
    exams.clear();
    for (const std::string& name : papers) {
      std::optional<ExamRecord> started = store_->FindExamByPaper(name);
      if (!started || started->tokenId != token->id) return Refuse("开始考试失败：该试卷已经开考");
      exams.push_back(std::move(*started));
    }
  } else if (result != StoreResult::kOk) {
    return Refuse("开始考试失败：服务器存储错误");
  }
  Json::Value reply(Json::arrayValue);
  for (const ExamRecord& e : exams) {
    Json::Value item(Json::objectValue);
    item["randFile"] = e.paper;
    item["sm4key"] = e.sm4key;
    item["id"] = static_cast<Json::Int64>(e.id);
    reply.append(item);
  }
  return Accept(CompactJson(reply));
}

Reply ServiceLogic::EndExam(const std::string& body) {
  Json::Value request;
  if (!ParseJson(body, &request) || !request.isObject()) return Refuse("结束考试失败：请求不是有效的JSON对象");
  const Json::Value& tokenText = request["token"];
  const Json::Value& digest = request["answersm3"];
  const Json::Value& id = request["id"];
  if (!tokenText.isString() || !digest.isString() || !id.isInt64()) return Refuse("结束考试失败：请求字段无效");
  std::string answerSm3 = Lower(digest.asString());
  if (!IsLowerHex(answerSm3, 64)) return Refuse("结束考试失败：answersm3不是64位十六进制");
  std::optional<TokenRecord> token = store_->FindToken(tokenText.asString());
  if (!token) return Refuse("结束考试失败：无效的跑分凭证");
  std::optional<ExamRecord> exam = store_->FindExam(id.asInt64());
  if (!exam || exam->tokenId != token->id) return Refuse("结束考试失败：考试编号无效");
  StoreResult result = store_->EndExam(exam->id, answerSm3, NowMs());
  if (result == StoreResult::kConflict) {
    // Ended before: the same end again is answered as the first was.
    std::optional<ExamRecord> ended = store_->FindExam(exam->id);
    if (ended && ended->answerSm3 == answerSm3) return Accept("ok");
    return Refuse("结束考试失败：考试已经结束");
  }
  if (result != StoreResult::kOk) return Refuse("结束考试失败：服务器存储错误");
  return Accept("ok");
}

Reply ServiceLogic::SubmitCpuScore(const std::string& body) {
  size_t bar = body.find("||");
  if (bar == std::string::npos) return Refuse("提交失败：格式错误");
  std::string credential = body.substr(0, bar);
  size_t start = bar;
  while (start < body.size() && body[start] == '|') ++start;
  std::string encoded = Trim(body.substr(start));

  std::optional<TokenRecord> token = store_->FindToken(credential);
  if (!token) return Refuse("提交失败：无效的跑分凭证");
  const std::string bodyDigest = Sm3HexDigest(body.data(), body.size());
  if (token->used) return RepeatedSubmission(token->id, bodyDigest);
  int64_t now = NowSec();
  if (now - token->issuedAt > options_.tokenLifetimeSec) return Refuse("提交失败：跑分凭证已过期，请重新跑分");

  std::string cipher;
  if (!DecodeBase64Strict(encoded, &cipher)) return Refuse("提交失败：内容不是有效的Base64");
  if (cipher.empty() || cipher.size() % 16 != 0 || cipher.size() > kMaxPlainBytes) {
    return Refuse("提交失败：内容长度错误");
  }
  std::string plain = Sm4Passes(cipher, token->key, token->rounds, 0);
  StripZeroPadding(&plain);
  std::string jsonText, tag;
  Json::Value result;
  if (!SplitJsonAndTag(plain, &jsonText, &tag) || !ParseJson(jsonText, &result) || !result.isObject()) {
    return Refuse("提交失败：内容无法解密或解析");
  }

  // Collect the exams: the single-core one first, then the multi-core ones in order.
  const Json::Value& single = result["singlecore"];
  const Json::Value& multi = result["multicore"];
  if (!single.isObject() || !multi.isArray()) return Refuse("提交失败：缺少singlecore或multicore");
  if (static_cast<int>(multi.size()) != token->cpuCount) return Refuse("提交失败：多核考试数量与逻辑核数不符");
  std::vector<const Json::Value*> items{&single};
  for (const Json::Value& m : multi) items.push_back(&m);

  std::vector<SubmittedExam> exams;
  std::set<int64_t> ids;
  std::set<int> slots;
  for (size_t i = 0; i < items.size(); ++i) {
    const Json::Value& item = *items[i];
    if (!item.isObject() || !item["id"].isInt64() || !item["result"].isString()) {
      return Refuse("提交失败：考试记录字段无效");
    }
    SubmittedExam s;
    std::optional<ExamRecord> exam = store_->FindExam(item["id"].asInt64());
    if (!exam || exam->tokenId != token->id) return Refuse("提交失败：考试编号不属于本次跑分");
    if (!ids.insert(exam->id).second) return Refuse("提交失败：考试编号重复");
    std::optional<PaperRecord> paper = FindPaper(exam->paper);
    if (!paper) return Refuse("提交失败：试卷不存在");
    bool singleSlot = paper->slot == 0;
    if (singleSlot != (i == 0) || !slots.insert(paper->slot).second) return Refuse("提交失败：考试与试卷不对应");
    if (exam->endMs == 0) return Refuse("提交失败：考试尚未结束");
    if (!DecodeBase64Strict(item["result"].asString(), &s.answers)) return Refuse("提交失败：答案不是有效的Base64");
    if (s.answers.empty() || s.answers.size() % kBlockBytes != 0) return Refuse("提交失败：答案为空或长度错误");
    s.blocks = static_cast<int64_t>(s.answers.size() / kBlockBytes);
    if (s.blocks > paper->bytes / static_cast<int64_t>(kBlockBytes)) return Refuse("提交失败：答案多于试卷");
    if (Sm3HexDigest(s.answers.data(), s.answers.size()) != exam->answerSm3) {
      return Refuse("提交失败：答案与结束考试时的摘要不符");
    }
    int64_t duration = exam->endMs - exam->startMs;
    if (duration < 0 || duration > static_cast<int64_t>(options_.examBudgetMs) + options_.examToleranceMs) {
      return Refuse("提交失败：考试用时超出限制");
    }
    s.score = ExamScore(s.blocks, duration, options_.examBudgetMs);
    s.exam = std::move(*exam);
    s.paper = std::move(*paper);
    exams.push_back(std::move(s));
  }

  // Recompute a sample of answers from the papers: one per exam, then distinct extra ones
  // drawn evenly over all answers, so that a result with a tenth of its answers wrong
  // passes 64 samples by a chance of 0.9^64, about one in a thousand.
  std::set<std::pair<size_t, int64_t>> chosen;
  std::vector<int64_t> firstBlock;  // index of each exam's first answer among all answers
  int64_t totalBlocks = 0;
  for (size_t e = 0; e < exams.size(); ++e) {
    chosen.emplace(e, RandomBelow(static_cast<uint32_t>(exams[e].blocks)));
    firstBlock.push_back(totalBlocks);
    totalBlocks += exams[e].blocks;
  }
  int64_t wanted = std::min<int64_t>(std::max<int64_t>(options_.sampledAnswers, 0), totalBlocks);
  if (wanted == totalBlocks) {  // every answer: no drawing needed
    for (size_t e = 0; e < exams.size(); ++e) {
      for (int64_t k = 0; k < exams[e].blocks; ++k) chosen.emplace(e, k);
    }
  }
  for (int tries = 0; static_cast<int64_t>(chosen.size()) < wanted && tries < 4 * wanted; ++tries) {
    int64_t global = RandomBelow(static_cast<uint32_t>(totalBlocks));
    size_t e = static_cast<size_t>(std::upper_bound(firstBlock.begin(), firstBlock.end(), global) -
                                   firstBlock.begin() - 1);
    chosen.emplace(e, global - firstBlock[e]);
  }
  std::vector<std::pair<size_t, int64_t>> samples(chosen.begin(), chosen.end());
  for (const auto& [e, k] : samples) {
    const SubmittedExam& s = exams[e];
    std::string expected = BlockAnswer(PaperBlock(s.paper.seed, static_cast<size_t>(k)));
    if (s.answers.compare(static_cast<size_t>(k) * kBlockBytes, kBlockBytes, expected) != 0) {
      return Refuse("提交失败：答案校验不通过");
    }
  }

  // A core of the multi-core phase works no faster than the one core of the single-core
  // phase in an honest run; more than half as much again is cut to that.
  if (exams[0].score > 0) {
    for (size_t e = 1; e < exams.size(); ++e) exams[e].score = std::min(exams[e].score, exams[0].score * 3 / 2);
  }

  // Score and record.
  CpuScoreRecord score;
  score.tokenId = token->id;
  score.machine = token->machine;
  score.runtime = now;
  score.singlecore = static_cast<int>(std::min<int64_t>(exams[0].score, INT32_MAX));
  score.cores = token->cpuCount;
  for (size_t e = 1; e < exams.size(); ++e) score.multicore += exams[e].score;
  score.socname = DeviceField(result, "socname");
  score.platform = Trim(DeviceField(result, "BRAND") + " " + DeviceField(result, "MODEL"));
  score.os = DeviceField(result, "RELEASE");
  score.abi = DeviceField(result, "CPU_ABI");
  Json::Value device(Json::objectValue);
  for (const char* key : kDeviceKeys) device[key] = DeviceField(result, key);
  score.device = CompactJson(device);

  int bestSingle = 0;
  int64_t bestMulti = 0;
  store_->BestCpu(&bestSingle, &bestMulti);
  bestSingle = std::max(bestSingle, score.singlecore);
  bestMulti = std::max(bestMulti, score.multicore);
  Json::Value record(Json::objectValue);
  record["singlecore"] = score.singlecore;
  record["ratio"] = bestSingle > 0 ? static_cast<double>(score.singlecore) / bestSingle : 0.0;
  Json::Value cores(Json::arrayValue);
  for (size_t e = 1; e < exams.size(); ++e) {
    Json::Value core(Json::objectValue);
    core["value"] = static_cast<int>(std::min<int64_t>(exams[e].score, INT32_MAX));
    core["ratio"] = score.singlecore > 0 ? static_cast<double>(exams[e].score) / score.singlecore : 0.0;
    cores.append(core);
  }
  record["multicore"] = cores;
  record["scoreratio"] = bestMulti > 0 ? static_cast<double>(score.multicore) / static_cast<double>(bestMulti) : 0.0;
  record["runtime"] = static_cast<Json::Int64>(now);
  record["maxsinglecore"] = bestSingle;
  record["maxmulticore"] = static_cast<int>(std::min<int64_t>(bestMulti, INT32_MAX));
  record["multicoretotal"] = static_cast<Json::Int64>(score.multicore);
  record["cores"] = score.cores;
  score.record = CompactJson(record);

  char text[256];
  double multiplier = score.singlecore > 0 ? static_cast<double>(score.multicore) / score.singlecore : 0.0;
  std::snprintf(text, sizeof text, "跑分成功！单核跑分：%d，多核总分：%lld（%d个逻辑核），多核倍率：%.2f",
                score.singlecore, static_cast<long long>(score.multicore), score.cores, multiplier);
  score.bodyDigest = bodyDigest;
  score.reply = std::string(text) + "||" + score.record;

  StoreResult stored = store_->AddCpuScore(&score);
  if (stored == StoreResult::kConflict) return RepeatedSubmission(token->id, bodyDigest);
  if (stored != StoreResult::kOk) return Refuse("提交失败：服务器存储错误");
  return Accept(score.reply);
}

Reply ServiceLogic::RepeatedSubmission(int64_t tokenId, const std::string& bodyDigest) {
  // The very same body again (the client retries when a reply is lost) gets the reply the
  // first one got; any other body for a used token is a replay.
  std::optional<CpuScoreRecord> first = store_->FindCpuScoreByToken(tokenId);
  if (first && !first->reply.empty() && first->bodyDigest == bodyDigest) return Accept(first->reply);
  return Refuse("提交失败：该成绩已提交过，请勿重复提交");
}

Reply ServiceLogic::SubmitDiskScore(const std::string& body, const std::string& clientAddress) {
  size_t bar = body.find("||");
  if (bar == std::string::npos) return Refuse("评分失败：格式错误");
  std::string encoded = Trim(body.substr(0, bar));
  // Base64 never holds "|", so the first "||" ends it; the serial is the rest, unchanged.
  std::string serial = body.substr(bar + 2);
  if (serial.size() < 2 || serial.size() > kMaxDeviceField) return Refuse("评分失败：磁盘序列号无效");

  std::string cipher;
  if (!DecodeBase64Strict(encoded, &cipher)) return Refuse("评分失败：内容不是有效的Base64");
  int rounds = static_cast<int8_t>(serial[0]);
  if (cipher.empty() || cipher.size() > kMaxDiskCipherBytes || (rounds > 0 && cipher.size() % 16 != 0)) {
    return Refuse("评分失败：内容长度错误");
  }
  std::string key = serial.substr(1, 16);
  key.resize(16, '\0');
  // No rounds (a serial starting with a byte >= 0x80 or NUL): the plaintext is sent as it is.
  std::string plain = Sm4Passes(cipher, key, rounds, 0);
  StripZeroPadding(&plain);
  std::string jsonText, tag;
  Json::Value r;
  if (!SplitJsonAndTag(plain, &jsonText, &tag) || !ParseJson(jsonText, &r) || !r.isObject()) {
    return Refuse("评分失败：内容无法解密或解析");
  }
  DiskScoreRecord score;
  for (int i = 0; i < 7; ++i) {
    const Json::Value& v = r[kDiskSpeedKeys[i]];
    if (!v.isNumeric()) return Refuse(std::string("评分失败：缺少") + kDiskSpeedKeys[i]);
    double d = v.asDouble();
    if (!std::isfinite(d) || d < 0 || d > kMaxDiskSpeed[i]) {
      return Refuse(std::string("评分失败：数值无效 ") + kDiskSpeedKeys[i]);
    }
    score.speeds[i] = d;
  }
  if (!r["prefill"].isInt() || r["prefill"].asInt() < 0 || r["prefill"].asInt() > 3) {
    return Refuse("评分失败：prefill无效");
  }
  if (!r["writesize"].isNumeric() || !std::isfinite(r["writesize"].asDouble()) || r["writesize"].asDouble() < 0) {
    return Refuse("评分失败：writesize无效");
  }
  if (!r["diskname"].isString() || !r["platform"].isString()) return Refuse("评分失败：缺少diskname或platform");
  score.prefill = r["prefill"].asInt();
  score.writesize = r["writesize"].asDouble();
  score.diskname = DeviceField(r, "diskname");
  score.platform = DeviceField(r, "platform");
  score.serial = IsWellFormedUtf8(serial) ? serial : HexEncode(serial.data(), serial.size());
  score.runtime = NowSec();
  score.address = clientAddress;
  // A result counts once whatever client tag it carries: the replay guard covers the
  // serial and the parsed result (jsoncpp keeps members sorted, so equal results give
  // equal text). The same result again gets its score back, as a retry must.
  std::string canonical = score.serial + "\n" + CompactJson(r);
  score.digest = Sm3HexDigest(canonical.data(), canonical.size());
  score.score = DiskScore(score.speeds);
  StoreResult stored = store_->AddDiskScoreWithin(&score, limits_.DiskScoreLimitsAt(score.runtime));
  if (stored == StoreResult::kLimited) return Refuse("评分失败：提交过于频繁，请稍后再试");
  if (stored != StoreResult::kOk && stored != StoreResult::kConflict) return Refuse("评分失败：服务器存储错误");
  return Accept(IntText(score.score));
}

std::string ServiceLogic::Announcement() {
  std::string text;
  if (!options_.dataDir.empty() && ReadFile(options_.dataDir + "/announcement.txt", &text)) return text;
  return options_.announcement;
}

bool ServiceLogic::ReleaseInfo(std::string* version, std::string* path) {
  if (!options_.releaseVersion.empty() || !options_.releaseFile.empty()) {
    *version = options_.releaseVersion;
    *path = options_.releaseFile;
  } else {
    std::string text;
    if (options_.dataDir.empty() || !ReadFile(options_.dataDir + "/release/version.txt", &text)) return false;
    std::vector<std::string> lines = SplitPieces(text, "\n");
    if (lines.size() < 2) return false;
    *version = Trim(lines[0]);
    std::string name = Trim(lines[1]);
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
    *path = options_.dataDir + "/release/" + name;
  }
  if (version->empty() || path->empty() || version->find('|') != std::string::npos) return false;
  // Only a release whose file is there is offered: the client installs whatever it downloads.
  std::ifstream file(*path, std::ios::binary);
  return file.good();
}

std::string ServiceLogic::Version(const std::string& baseUrl) {
  std::string version, path;
  if (!ReleaseInfo(&version, &path)) return std::string();
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::string escaped;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      escaped += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      escaped += hex;
    }
  }
  return version + "||" + baseUrl + "update/sorvanta/download/" + escaped;
}

std::string ServiceLogic::ReleasePath(const std::string& name) {
  std::string version, path;
  if (!ReleaseInfo(&version, &path)) return std::string();
  return path.substr(path.find_last_of('/') + 1) == name ? path : std::string();
}

std::string ServiceLogic::CpuRankingJson(int limit) {
  auto rows = [this, limit](bool byMulti) {
    Json::Value list(Json::arrayValue);
    for (const CpuScoreRecord& r : store_->TopCpu(byMulti, limit)) {
      Json::Value item(Json::objectValue);
      item["socname"] = r.socname;
      item["singlecore"] = r.singlecore;
      item["multicore"] = static_cast<Json::Int64>(r.multicore);
      item["cores"] = r.cores;
      item["platform"] = r.platform;
      item["os"] = r.os;
      item["abi"] = r.abi;
      item["runtime"] = static_cast<Json::Int64>(r.runtime);
      list.append(item);
    }
    return list;
  };
  Json::Value out(Json::objectValue);
  out["single"] = rows(false);
  out["multi"] = rows(true);
  return CompactJson(out);
}

std::string ServiceLogic::DiskRankingJson(int limit) {
  Json::Value out(Json::objectValue);
  Json::Value list(Json::arrayValue);
  for (const DiskScoreRecord& r : store_->TopDisk(limit)) {
    Json::Value item(Json::objectValue);
    item["diskname"] = r.diskname;
    item["platform"] = r.platform;
    item["score"] = r.score;
    item["prefill"] = r.prefill;
    item["writesize"] = r.writesize;
    for (int i = 0; i < 7; ++i) item[kDiskSpeedKeys[i]] = r.speeds[i];
    item["runtime"] = static_cast<Json::Int64>(r.runtime);
    list.append(item);
  }
  out["disk"] = list;
  return CompactJson(out);
}

}  // namespace sorvanta::server
