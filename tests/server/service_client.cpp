#include "service_client.h"

#include "pg_cluster.h"

#include <gtest/gtest.h>

#include <ctime>

#include "server/exam_protocol.h"
#include "base/crypto.h"
#include "service/requests.h"
#include "base/text.h"

namespace sorvanta::testing {

using server::BlockAnswer;
using server::MakeFingerprint;
using server::MakeTokenRequestBody;

std::string RequestTokenText(const std::string& identity, int cpuCount, int64_t unixTime) {
  if (unixTime == 0) unixTime = std::time(nullptr);
  std::string body = MakeTokenRequestBody(MakeFingerprint(identity, unixTime), cpuCount);
  return ServicePostText(ServiceUrl("sorvanta/getTokenV3"), body).value_or("");
}

bool ParseToken(const std::string& reply, IssuedToken* token) {
  std::vector<std::string> pieces = SplitPieces(reply, "||");
  if (pieces.size() < 2) return false;
  std::string raw = Base64Decode(pieces[0]);
  if (raw.size() != 17) return false;
  token->reply = reply;
  token->credential = pieces[0];
  token->key = raw.substr(0, 16);
  token->rounds = static_cast<int8_t>(raw[16]);
  token->papers.assign(pieces.begin() + 1, pieces.end());
  return true;
}

IssuedToken RequestToken(const std::string& identity, int cpuCount) {
  IssuedToken token;
  std::string reply = RequestTokenText(identity, cpuCount);
  if (!ParseToken(reply, &token)) ADD_FAILURE() << "token reply unusable: " << reply;
  return token;
}

std::string StartExamText(const std::string& credential, const std::string& paperName) {
  Json::Value body(Json::objectValue);
  body["token"] = credential;
  Json::Value item(Json::objectValue);
  item["examFile"] = paperName;
  body["examstart"].append(item);
  return ServicePostText(ServiceUrl("sorvanta/startexam"), body.toStyledString()).value_or("");
}

std::string EndExamText(const std::string& credential, int64_t id, const std::string& answerSm3Hex) {
  Json::Value body(Json::objectValue);
  body["token"] = credential;
  body["answersm3"] = answerSm3Hex;
  body["id"] = static_cast<Json::Int64>(id);
  return ServicePostText(ServiceUrl("sorvanta/endexam"), body.toStyledString()).value_or("");
}

SatExam SitExam(const std::string& credential, const std::string& paperName, int blocks, int delayMs,
                std::string* endReply, bool corrupt, int onlyWrong) {
  SatExam exam;
  exam.paperName = paperName;
  exam.paper = ServiceGetBinary(ServiceUrl("exampaper/" + paperName)).value_or("");
  std::string reply = StartExamText(credential, paperName);
  Json::Value parsed;
  Json::Reader reader;
  if (!reader.parse(reply, parsed) || !parsed.isArray() || parsed.empty()) {
    ADD_FAILURE() << "start exam refused: " << reply;
    return exam;
  }
  for (const Json::Value& e : parsed) {
    if (e["randFile"].asString() == paperName) {
      exam.id = e["id"].asInt64();
      exam.sm4key = e["sm4key"].asString();
      break;
    }
  }
  for (int k = 0; k < blocks && (k + 1) * 32 <= static_cast<int>(exam.paper.size()); ++k) {
    exam.answers += BlockAnswer(exam.paper.substr(k * 32, 32));
    if (onlyWrong >= 0 ? k == onlyWrong : corrupt) exam.answers[k * 32] = static_cast<char>(exam.answers[k * 32] ^ 0x5A);
  }
  if (delayMs > 0) {
    struct timespec ts{delayMs / 1000, (delayMs % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
  }
  std::string end = EndExamText(credential, exam.id, Sm3HexDigest(exam.answers.data(), exam.answers.size()));
  if (endReply) {
    *endReply = end;
  } else if (end != "ok") {
    ADD_FAILURE() << "end exam refused: " << end;
  }
  return exam;
}

Json::Value ResultObject(const SatExam& single, const std::vector<SatExam>& multi, const std::string& socname) {
  Json::Value r(Json::objectValue);
  r["socname"] = socname;
  r["RELEASE"] = "12";
  r["HARDWARE"] = " ";
  r["MODEL"] = "Board X";
  r["MANUFACTURER"] = " ";
  r["BRAND"] = "Maker";
  r["PRODUCT"] = " ";
  r["CPU_ABI"] = "x86_64";
  r["CPU_ABI2"] = " ";
  r["singlecore"]["id"] = static_cast<Json::Int64>(single.id);
  r["singlecore"]["coreid"] = 1;
  r["singlecore"]["result"] = Base64Encode(single.answers);
  r["multicore"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < multi.size(); ++i) {
    Json::Value m(Json::objectValue);
    m["id"] = static_cast<Json::Int64>(multi[i].id);
    m["coreid"] = static_cast<int>(i);
    m["result"] = Base64Encode(multi[i].answers);
    r["multicore"].append(m);
  }
  return r;
}

std::string SubmissionBody(const IssuedToken& token, const Json::Value& result, const std::string& tag) {
  std::string plain = result.toStyledString() + "||" + tag;
  std::string cipher = server::Sm4Passes(plain, token.key, token.rounds, 1);
  return token.credential + "||" + Base64Encode(cipher);
}

std::string SubmitText(const std::string& body) {
  return ServicePostText(ServiceUrl("sorvanta/cpuscoresubmitV4"), body).value_or("");
}

WholeRun SitWholeExam(const std::string& identity, int cpuCount, int blocks) {
  WholeRun run;
  run.token = RequestToken(identity, cpuCount);
  if (run.token.papers.size() != static_cast<size_t>(cpuCount) + 1) {
    ADD_FAILURE() << "expected " << cpuCount + 1 << " papers";
    return run;
  }
  run.single = SitExam(run.token.credential, run.token.papers[0], blocks);
  for (int i = 1; i <= cpuCount; ++i) run.multi.push_back(SitExam(run.token.credential, run.token.papers[i], blocks));
  return run;
}

std::string DiskBody(const Json::Value& result, const std::string& serial, const std::string& tag) {
  std::string key = serial.substr(1, 16);
  key.resize(16, '\0');
  int rounds = static_cast<int8_t>(serial[0]);
  std::string cipher = server::Sm4Passes(result.toStyledString() + "||" + tag, key, rounds, 1);
  return Base64Encode(cipher) + "||" + serial;
}

Json::Value DiskResult(const std::string& diskname, double base) {
  Json::Value r(Json::objectValue);
  r["linerbufferwrite"] = base * 1.0;
  r["linernobufferwrite"] = base * 0.9;
  r["linerread"] = base * 1.2;
  r["fourkwrite"] = base / 20;
  r["fourkread"] = base / 25;
  r["mtfourkwrite"] = base / 2;
  r["mtfourkread"] = base / 1.5;
  r["prefill"] = 0;
  r["writesize"] = 20.0;
  r["timestamp"] = static_cast<double>(std::time(nullptr));
  r["platform"] = "Maker_Board X";
  r["diskname"] = diskname;
  return r;
}

}  // namespace sorvanta::testing

#include <stdlib.h>

namespace sorvanta::testing {

server::ServiceOptions RunningService::TestOptions() {
  server::ServiceOptions o;
  o.port = 0;
  o.examBudgetMs = 2000;
  o.examToleranceMs = 500;
  o.paperBytes = 4096;
  o.sampledAnswers = 4;
  o.rateLimitTokens = 0;
  o.rateLimitPerAddress = 0;
  o.tokenRequestBurst = 0;
  o.diskScoresPerSerial = 0;
  o.diskScoresPerAddress = 0;
  o.maxConnectionsPerAddress = 512;  // every test client comes from 127.0.0.1
  return o;
}

RunningService::RunningService(server::ServiceOptions options) : options_(std::move(options)) {
  if (!dir_.ok()) {
    error_ = "cannot create a temporary folder";
    return;
  }
  if (options_.dataDir.empty()) options_.dataDir = dir_.path();
  if (TestsUsePostgres() && options_.store.empty()) {
    options_.store = FreshPostgresDatabase(&error_);
    if (options_.store.empty()) return;
  }
  service_ = server::ReferenceService::Start(options_, &error_);
  if (service_) setenv("SORVANTA_SERVICE_URL", service_->BaseUrl().c_str(), 1);
}

RunningService::~RunningService() {
  service_.reset();
  unsetenv("SORVANTA_SERVICE_URL");
}

}  // namespace sorvanta::testing
