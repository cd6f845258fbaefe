// Whole exchanges with the reference service over loopback HTTPS, through the program's own
// request operations.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <sys/stat.h>
#include <filesystem>
#include <thread>

#include "server/exam_protocol.h"
#include "server/service_logic.h"
#include "base/crypto.h"
#include "service/requests.h"
#include "base/text.h"
#include "service_client.h"

namespace sorvanta::testing {
namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, v)) << text;
  return v;
}

bool IsAccepted(const std::string& reply) { return SplitPieces(reply, "||").size() == 2; }

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.ok()) << service_.error(); }
  RunningService service_;
};

TEST_F(ServiceTest, WholeExamIsAcceptedScoredAndRanked) {
  WholeRun run = SitWholeExam("machine-whole", 2, 3);
  ASSERT_EQ(run.multi.size(), 2u);
  EXPECT_EQ(run.single.paper.size(), 4096u);
  // A long client tag makes the body larger than the 8 KiB some servers allow form posts.
  std::string body =
      SubmissionBody(run.token, ResultObject(run.single, run.multi, "Whole Test CPU"), std::string(20000, 't'));
  ASSERT_GT(body.size(), 20000u);
  std::string reply = SubmitText(body);
  std::vector<std::string> pieces = SplitPieces(reply, "||");
  ASSERT_EQ(pieces.size(), 2u) << reply;
  EXPECT_NE(pieces[0].find("单核跑分"), std::string::npos);

  // 3 blocks within a 2000 ms budget: 3 * 100000 / 2000 = 150 points per exam.
  Json::Value record = ParseJson(pieces[1]);
  ASSERT_TRUE(record["singlecore"].isInt());
  EXPECT_EQ(record["singlecore"].asInt(), 150);
  ASSERT_TRUE(record["multicore"].isArray());
  ASSERT_EQ(record["multicore"].size(), 2u);
  for (const Json::Value& core : record["multicore"]) {
    EXPECT_EQ(core["value"].asInt(), 150);
    EXPECT_DOUBLE_EQ(core["ratio"].asDouble(), 1.0);
  }
  EXPECT_TRUE(record["ratio"].isDouble() || record["ratio"].isInt());
  EXPECT_TRUE(record["scoreratio"].isNumeric());
  EXPECT_NEAR(record["runtime"].asDouble(), static_cast<double>(std::time(nullptr)), 60);
  EXPECT_GE(record["maxsinglecore"].asInt(), 150);
  EXPECT_GE(record["maxmulticore"].asInt(), 300);

  // The same submission again (a retry after a lost reply) gets the same reply; the same
  // result under another client tag is a replay.
  EXPECT_EQ(SubmitText(body), reply);
  std::string replay = SubmitText(
      SubmissionBody(run.token, ResultObject(run.single, run.multi, "Whole Test CPU"), "other tag"));
  EXPECT_FALSE(IsAccepted(replay));
  EXPECT_NE(replay.find("该成绩已提交过"), std::string::npos) << replay;

  std::string ranking = ServiceGetText(ServiceUrl("RankingList/cpu.json")).value_or("");
  Json::Value cpu = ParseJson(ranking);
  ASSERT_EQ(cpu["single"].size(), 1u);
  EXPECT_EQ(cpu["single"][0]["socname"].asString(), "Whole Test CPU");
  EXPECT_EQ(cpu["multi"][0]["multicore"].asInt(), 300);
}

TEST_F(ServiceTest, CheatedSubmissionsAreRefusedAndStoreNothing) {
  // Answers that do not come from the paper, with a matching end-exam digest.
  {
    IssuedToken token = RequestToken("machine-cheat-2", 1);
    SatExam single = SitExam(token.credential, token.papers[0], 3);
    SatExam multi = SitExam(token.credential, token.papers[1], 3, 0, nullptr, /*corrupt=*/true);
    std::string reply = SubmitText(SubmissionBody(token, ResultObject(single, {multi}, "x")));
    EXPECT_FALSE(IsAccepted(reply));
    EXPECT_NE(reply.find("答案校验不通过"), std::string::npos) << reply;
  }
  // Answers changed after the end of the exam: the digest no longer matches. The honest
  // submission of the same run is still accepted afterwards, so nothing was stored.
  {
    WholeRun run = SitWholeExam("machine-cheat-3", 1, 3);
    SatExam changed = run.multi[0];
    changed.answers += changed.answers.substr(0, 32);
    std::string reply = SubmitText(SubmissionBody(run.token, ResultObject(run.single, {changed}, "x")));
    EXPECT_FALSE(IsAccepted(reply));
    EXPECT_NE(reply.find("摘要不符"), std::string::npos) << reply;
    EXPECT_TRUE(IsAccepted(SubmitText(SubmissionBody(run.token, ResultObject(run.single, run.multi, "x")))));
  }
  // An exam of another token.
  {
    WholeRun mine = SitWholeExam("machine-cheat-4", 1, 3);
    WholeRun other = SitWholeExam("machine-cheat-5", 1, 3);
    std::string reply = SubmitText(SubmissionBody(mine.token, ResultObject(mine.single, other.multi, "x")));
    EXPECT_FALSE(IsAccepted(reply));
    EXPECT_NE(reply.find("不属于"), std::string::npos) << reply;
    // The single-core exam submitted as a multi-core one.
    reply = SubmitText(SubmissionBody(mine.token, ResultObject(mine.single, {mine.single}, "x")));
    EXPECT_FALSE(IsAccepted(reply));
  }
  // An exam that lasted longer than budget plus tolerance (2000 + 500 ms).
  {
    IssuedToken token = RequestToken("machine-cheat-6", 1);
    SatExam slow = SitExam(token.credential, token.papers[0], 2, 2700);
    SatExam multi = SitExam(token.credential, token.papers[1], 2);
    std::string reply = SubmitText(SubmissionBody(token, ResultObject(slow, {multi}, "x")));
    EXPECT_FALSE(IsAccepted(reply));
    EXPECT_NE(reply.find("超出"), std::string::npos) << reply;
  }
  Json::Value cpu = ParseJson(ServiceGetText(ServiceUrl("RankingList/cpu.json")).value_or(""));
  EXPECT_EQ(cpu["single"].size(), 1u);  // only the honest run of machine-cheat-3
}

TEST_F(ServiceTest, MultiCoreExamsFasterThanTheSingleCoreOneAreCut) {
  IssuedToken token = RequestToken("machine-fast-cores", 2);
  SatExam single = SitExam(token.credential, token.papers[0], 2);
  SatExam fast = SitExam(token.credential, token.papers[1], 10);
  SatExam even = SitExam(token.credential, token.papers[2], 2);
  std::vector<std::string> pieces =
      SplitPieces(SubmitText(SubmissionBody(token, ResultObject(single, {fast, even}, "x"))), "||");
  ASSERT_EQ(pieces.size(), 2u);
  Json::Value record = ParseJson(pieces[1]);
  // 2 blocks in the 2000 ms budget: 100 points; 10 blocks would be 500, cut to 150.
  EXPECT_EQ(record["singlecore"].asInt(), 100);
  EXPECT_EQ(record["multicore"][0]["value"].asInt(), 150);
  EXPECT_EQ(record["multicore"][1]["value"].asInt(), 100);
  EXPECT_EQ(record["multicoretotal"].asInt(), 250);
}

TEST(ServiceAnswerCheck, OneWrongAnswerAmongSixtyIsFound) {
  server::ServiceOptions options = RunningService::TestOptions();
  options.sampledAnswers = 64;
  RunningService service(options);
  ASSERT_TRUE(service.ok()) << service.error();
  IssuedToken token = RequestToken("machine-one-wrong", 1);
  SatExam single = SitExam(token.credential, token.papers[0], 30);
  SatExam multi = SitExam(token.credential, token.papers[1], 30, 0, nullptr, false, /*onlyWrong=*/17);
  std::string reply = SubmitText(SubmissionBody(token, ResultObject(single, {multi}, "x")));
  EXPECT_NE(reply.find("答案校验不通过"), std::string::npos) << reply;
}

TEST_F(ServiceTest, MalformedSubmissionsGetAReason) {
  WholeRun run = SitWholeExam("machine-malformed", 1, 2);
  const IssuedToken& t = run.token;
  auto refused = [](const std::string& reply) {
    EXPECT_FALSE(reply.empty());
    EXPECT_FALSE(IsAccepted(reply)) << reply;
  };
  refused(SubmitText(""));
  refused(SubmitText("no separator"));
  refused(SubmitText("AAAAAAAAAAAAAAAAAAAAAAAA||AAAA"));         // unknown credential
  refused(SubmitText(t.credential + "||@@@@not base64@@@@"));
  refused(SubmitText(t.credential + "||" + Base64Encode("abc")));  // not a multiple of 16
  refused(SubmitText(t.credential + "||" + Base64Encode(server::Sm4Passes("just text", t.key, t.rounds, 1))));
  Json::Value arrayResult(Json::arrayValue);
  refused(SubmitText(SubmissionBody(t, arrayResult)));
  Json::Value wrongTypes = ResultObject(run.single, run.multi, "x");
  wrongTypes["singlecore"]["id"] = "12";
  refused(SubmitText(SubmissionBody(t, wrongTypes)));
  Json::Value tooFew = ResultObject(run.single, {}, "x");
  refused(SubmitText(SubmissionBody(t, tooFew)));
  // A body over the size limit gets an answer too, and the service goes on.
  std::string huge = t.credential + "||" + std::string(3 << 20, 'A');
  EXPECT_FALSE(IsAccepted(SubmitText(huge)));
  EXPECT_TRUE(IsAccepted(SubmitText(SubmissionBody(t, ResultObject(run.single, run.multi, "x")))));
}

// The body stays empty as the contract says; the reason header tells the user why.
TEST_F(ServiceTest, TokenRequestsThatAreBrokenOrStaleGetAnEmptyReplyAndAReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "请求内容格式错误，无法解读本机信息"},
      {std::string(88, 'A'), "请求内容格式错误，无法解读本机信息"},
      {server::MakeTokenRequestBody(server::MakeFingerprint("machine-stale", std::time(nullptr) - 3600), 4),
       "本机时钟与服务器相差超过10分钟，请校准时间后再试"},
      {server::MakeTokenRequestBody(server::MakeFingerprint("machine-zero", std::time(nullptr)), 0),  // (n - 1) mod 256 = 0
       "逻辑核数0超出1到255的范围"},
  };
  for (const auto& [body, reason] : cases) {
    Result<ServiceReply> reply = ServicePostForReply(ServiceUrl("sorvanta/getTokenV3"), body);
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->body, "");
    EXPECT_EQ(reply->refusal, reason);
  }
  // 255 processors: no encryption pass at all, 256 papers.
  IssuedToken big = RequestToken("machine-big", 255);
  EXPECT_EQ(big.papers.size(), 256u);
  EXPECT_GE(big.rounds, 1);
}

TEST(ServiceRateLimit, TooManyTokensForOneMachineGetAShortCredential) {
  server::ServiceOptions options = RunningService::TestOptions();
  options.rateLimitTokens = 2;
  RunningService service(options);
  ASSERT_TRUE(service.ok()) << service.error();
  IssuedToken a, b, c;
  EXPECT_TRUE(ParseToken(RequestTokenText("machine-busy", 2), &a));
  EXPECT_TRUE(ParseToken(RequestTokenText("machine-busy", 2), &b));
  Result<ServiceReply> refused = ServicePostForReply(
      ServiceUrl("sorvanta/getTokenV3"), server::MakeTokenRequestBody(server::MakeFingerprint("machine-busy", std::time(nullptr)), 2));
  ASSERT_TRUE(refused.ok());
  const std::string& third = refused->body;
  ASSERT_FALSE(third.empty());
  EXPECT_EQ(Base64Decode(SplitPieces(third, "||")[0]).size(), 16u);
  EXPECT_EQ(refused->refusal, "本机在10分钟内的跑分次数已达服务器对本机的上限，请在10分钟后再试");
  EXPECT_EQ(refused->retryAfterSec, 600);
  // Another machine is not affected.
  EXPECT_TRUE(ParseToken(RequestTokenText("machine-other", 2), &c));
}

TEST_F(ServiceTest, ExamRequestsRefuseWhatDoesNotBelong) {
  IssuedToken mine = RequestToken("machine-exams-1", 1);
  IssuedToken other = RequestToken("machine-exams-2", 1);
  auto isArray = [](const std::string& reply) {
    Json::Value v;
    Json::Reader reader;
    return reader.parse(reply, v) && v.isArray();
  };
  EXPECT_FALSE(isArray(StartExamText("AAAAAAAAAAAAAAAAAAAAAAAA", mine.papers[0])));
  EXPECT_FALSE(isArray(StartExamText(mine.credential, other.papers[0])));
  EXPECT_FALSE(isArray(StartExamText(mine.credential, "../service.sqlite")));
  EXPECT_FALSE(isArray(ServicePostText(ServiceUrl("sorvanta/startexam"), "{not json").value_or("")));
  EXPECT_FALSE(isArray(ServicePostText(ServiceUrl("sorvanta/startexam"), "{\"token\":5,\"examstart\":[]}").value_or("")));

  std::string first = StartExamText(mine.credential, mine.papers[0]);
  ASSERT_TRUE(isArray(first)) << first;
  Json::Value exam = ParseJson(first)[0];
  EXPECT_EQ(exam["randFile"].asString(), mine.papers[0]);
  EXPECT_EQ(exam["sm4key"].asString().size(), 32u);
  EXPECT_TRUE(exam["id"].isInt());
  EXPECT_GT(exam["id"].asInt64(), 0);
  EXPECT_EQ(StartExamText(mine.credential, mine.papers[0]), first);  // a retry: the same exam
  // A list that overlaps an exam started before is not a retry.
  std::string overlap = ServicePostText(ServiceUrl("sorvanta/startexam"),
                                        "{\"token\":\"" + mine.credential + "\",\"examstart\":[{\"examFile\":\"" +
                                            mine.papers[0] + "\"},{\"examFile\":\"" + mine.papers[1] + "\"}]}").value_or("");
  EXPECT_NE(overlap.find("该试卷已经开考"), std::string::npos) << overlap;

  int64_t id = exam["id"].asInt64();
  std::string digest = Sm3HexDigest("", 0);
  EXPECT_NE(EndExamText(other.credential, id, digest), "ok");            // foreign token
  EXPECT_NE(EndExamText(mine.credential, id + 100000, digest), "ok");    // unknown id
  EXPECT_NE(EndExamText(mine.credential, id, "xyz"), "ok");              // not a digest
  EXPECT_NE(ServicePostText(ServiceUrl("sorvanta/endexam"),
                            "{\"token\":\"" + mine.credential + "\",\"answersm3\":\"" + digest + "\",\"id\":\"" +
                                std::to_string(id) + "\"}").value_or(""),
            "ok");  // id as text
  EXPECT_EQ(EndExamText(mine.credential, id, digest), "ok");
  EXPECT_EQ(EndExamText(mine.credential, id, digest), "ok");  // a retry
  std::string changed = EndExamText(mine.credential, id, std::string(64, 'a'));
  EXPECT_NE(changed.find("考试已经结束"), std::string::npos) << changed;  // other answers

  // Papers: known names give their bytes, anything else 404 with an empty body.
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("exampaper/" + mine.papers[1])).value_or("").size(), 4096u);
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("exampaper/0123456789abcdef0123456789abcdef")).value_or(""), "");
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("exampaper/..%2fservice.sqlite")).value_or(""), "");
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("exampaper/" + mine.papers[1] + "/..")).value_or(""), "");
}

TEST_F(ServiceTest, SixtyFourConcurrentStartsAndEnds) {
  IssuedToken token = RequestToken("machine-64", 63);
  ASSERT_EQ(token.papers.size(), 64u);
  std::atomic<int> started{0}, ended{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 64; ++i) {
    workers.emplace_back([&, i] {
      // Each start is sent twice at once, as a client retrying on a lost reply may: both
      // must get the same exam.
      std::string twin;
      std::thread retry([&] { twin = StartExamText(token.credential, token.papers[i]); });
      std::string reply = StartExamText(token.credential, token.papers[i]);
      retry.join();
      if (twin != reply) return;
      Json::Value v;
      Json::Reader reader;
      if (!reader.parse(reply, v) || !v.isArray() || v.size() != 1) return;
      ++started;
      std::string answers = server::BlockAnswer(std::string(32, static_cast<char>(i)));
      if (EndExamText(token.credential, v[0]["id"].asInt64(), Sm3HexDigest(answers.data(), answers.size())) == "ok") {
        ++ended;
      }
    });
  }
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(started.load(), 64);
  EXPECT_EQ(ended.load(), 64);
}

TEST_F(ServiceTest, DiskSubmissionRoundTrip) {
  Json::Value result = DiskResult("/ Disk Alpha", 500);
  std::string serial = "S3Z9NB0K123456X";
  std::string reply =
      ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(result, serial, std::string(12000, 'g'))).value_or("");
  double speeds[7];
  const char* const keys[7] = {"linerbufferwrite", "linernobufferwrite", "linerread", "fourkwrite",
                               "fourkread",        "mtfourkwrite",       "mtfourkread"};
  for (int i = 0; i < 7; ++i) speeds[i] = result[keys[i]].asDouble();
  EXPECT_EQ(reply, IntText(server::DiskScore(speeds)));
  EXPECT_GT(server::DiskScore(speeds), 0);

  // The same result again, under any client tag, gets its score back but counts once (the
  // ranking below holds it once).
  EXPECT_EQ(ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(result, serial, std::string(12000, 'g'))).value_or(""),
            reply);
  EXPECT_EQ(ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(result, serial, "other tag")).value_or(""), reply);
  // Broken Base64, a serial too short, a wrong serial (wrong key), bad fields.
  EXPECT_NE(ServicePostText(ServiceUrl("sorvanta/diskbench"), "@@@||" + serial).value_or(""), "");
  Json::Value r2 = DiskResult("/ Disk Beta", 300);
  EXPECT_NE(ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(r2, "S")).value_or(""), "");
  std::string wrongKey = DiskBody(r2, serial);
  wrongKey = wrongKey.substr(0, wrongKey.find("||")) + "||S3Z9NB0K999999X";
  std::string refused = ServicePostText(ServiceUrl("sorvanta/diskbench"), wrongKey).value_or("");
  EXPECT_NE(refused.find("评分失败"), std::string::npos) << refused;
  EXPECT_NE(ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(r2, serial, std::string(70000, 'x'))).value_or("")
                .find("评分失败"),
            std::string::npos);
  Json::Value badPrefill = r2;
  badPrefill["prefill"] = 7;
  EXPECT_NE(ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(badPrefill, serial)).value_or("").find("评分失败"),
            std::string::npos);
  Json::Value textSpeed = r2;
  textSpeed["fourkread"] = "fast";
  EXPECT_NE(ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(textSpeed, serial)).value_or("").find("评分失败"),
            std::string::npos);

  // A serial whose first byte reads as a negative count: no rounds, the plaintext is sent.
  std::string plainSerial = "\xE4\xB8\x80-serial";
  std::string plainReply = ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(r2, plainSerial)).value_or("");
  EXPECT_EQ(plainReply.find("评分失败"), std::string::npos) << plainReply;

  Json::Value disk = ParseJson(ServiceGetText(ServiceUrl("RankingList/disk.json")).value_or(""));
  ASSERT_EQ(disk["disk"].size(), 2u);
  EXPECT_EQ(disk["disk"][0]["diskname"].asString(), "/ Disk Alpha");
  EXPECT_EQ(disk["disk"][0]["score"].asString(), reply);
}

TEST(ServiceDiskLimits, ImplausibleSpeedsAndTooManyScoresPerSerialOrAddressAreRefused) {
  server::ServiceOptions options = RunningService::TestOptions();
  options.diskScoresPerSerial = 2;
  options.diskScoresPerAddress = 3;
  RunningService service(options);
  ASSERT_TRUE(service.ok()) << service.error();
  auto submit = [](const Json::Value& result, const std::string& serial) {
    return ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(result, serial)).value_or("");
  };
  Json::Value tooFast = DiskResult("RAM?", 500);
  tooFast["fourkread"] = 30000.0;  // 4 KiB reads at 30 GB/s from one queue
  EXPECT_NE(submit(tooFast, "SERIAL-A").find("评分失败：数值无效 fourkread"), std::string::npos);

  EXPECT_EQ(submit(DiskResult("A", 100), "SERIAL-A").find("评分失败"), std::string::npos);
  EXPECT_EQ(submit(DiskResult("A", 200), "SERIAL-A").find("评分失败"), std::string::npos);
  EXPECT_NE(submit(DiskResult("A", 300), "SERIAL-A").find("提交过于频繁"), std::string::npos);
  EXPECT_EQ(submit(DiskResult("B", 100), "SERIAL-B").find("评分失败"), std::string::npos);
  EXPECT_NE(submit(DiskResult("C", 100), "SERIAL-C").find("提交过于频繁"), std::string::npos);  // the address
}

TEST_F(ServiceTest, AnnouncementVersionAndRelease) {
  EXPECT_EQ(ServiceGetText(ServiceUrl("update/sorvanta/getAnnouncementPC")).value_or(""), service_.options().announcement);
  {
    std::ofstream(service_.dataDir() + "/announcement.txt") << "今晚维护";
  }
  EXPECT_EQ(ServiceGetText(ServiceUrl("update/sorvanta/getAnnouncementPC")).value_or(""), "今晚维护");

  // No release configured: no usable version reply, so no client updates itself.
  EXPECT_EQ(SplitPieces(ServiceGetText(ServiceUrl("update/sorvanta/versionPC")).value_or(""), "||").size(), 0u);
  std::filesystem::create_directories(service_.dataDir() + "/release");
  { std::ofstream(service_.dataDir() + "/release/version.txt") << "2.0.0\nsorvanta 2.0.0.bin\n"; }
  EXPECT_EQ(ServiceGetText(ServiceUrl("update/sorvanta/versionPC")).value_or(""), "");  // file not there yet
  std::string program(100000, '\0');
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 7);
  { std::ofstream(service_.dataDir() + "/release/sorvanta 2.0.0.bin", std::ios::binary) << program; }
  std::vector<std::string> version = SplitPieces(ServiceGetText(ServiceUrl("update/sorvanta/versionPC")).value_or(""), "||");
  ASSERT_EQ(version.size(), 2u);
  EXPECT_EQ(version[0], "2.0.0");
  EXPECT_EQ(version[1], service_.BaseUrl() + "update/sorvanta/download/sorvanta%202.0.0.bin");
  EXPECT_EQ(ServiceGetBinary(version[1]).value_or(""), program);
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("update/sorvanta/download/version.txt")).value_or(""), "");
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("update/sorvanta/download/..%2fservice.sqlite")).value_or(""), "");
}

// Instances given the same key file name papers alike, so that a paper named by one of them
// is found at another; a key file others can read, or a short one, is refused.
TEST(ServiceKey, SameKeyFileNamesPapersAlikeAndAnUnsafeFileIsRefused) {
  TempDir dir("key");
  const std::string key = dir.Path("service.key"), open = dir.Path("open.key"), shortKey = dir.Path("short.key");
  ASSERT_TRUE(WriteWholeFile(key, std::string(32, 'k')) && WriteWholeFile(open, std::string(32, 'k')) &&
              WriteWholeFile(shortKey, "k"));
  ::chmod(key.c_str(), 0600);
  ::chmod(open.c_str(), 0644);
  ::chmod(shortKey.c_str(), 0600);
  auto firstPaper = [](const std::string& keyFile) {
    server::ServiceOptions o = RunningService::TestOptions();
    o.serviceKeyFile = keyFile;
    RunningService service(o);
    EXPECT_TRUE(service.ok()) << service.error();
    IssuedToken token;
    return service.ok() && ParseToken(RequestTokenText("key-machine", 1), &token) ? token.papers[0] : "";
  };
  std::string one = firstPaper(key);
  EXPECT_FALSE(one.empty());
  EXPECT_EQ(firstPaper(key), one);  // another instance: its first token is named alike
  EXPECT_NE(firstPaper(""), one);   // a key of its own
  const std::pair<std::string, const char*> refused[] = {
      {open, "readable by others"}, {shortKey, "fewer than 16 bytes"}, {dir.Path("missing.key"), "cannot read"}};
  for (const auto& [file, reason] : refused) {
    server::ServiceOptions o = RunningService::TestOptions();
    o.serviceKeyFile = file;
    RunningService service(o);
    EXPECT_FALSE(service.ok()) << file;
    EXPECT_NE(service.error().find(reason), std::string::npos) << service.error();
  }
}

}  // namespace
}  // namespace sorvanta::testing
