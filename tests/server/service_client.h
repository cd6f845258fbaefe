// Plays the client side of the exam protocol over the program's own request operations,
// so that tests can walk a whole exam by hand and then bend single steps of it.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sorvanta::testing {

// A token reply taken apart.
struct IssuedToken {
  std::string reply;        // the whole text
  std::string credential;   // piece 0
  std::string key;          // 16 bytes from the credential
  int rounds = 0;           // byte 16, signed
  std::vector<std::string> papers;  // pieces 1..
};

// One exam as the client saw it.
struct SatExam {
  std::string paperName;
  std::string paper;
  int64_t id = 0;
  std::string sm4key;
  std::string answers;  // 32 bytes per block
};

// Posts the token request for a machine identity and processor count; the reply text.
std::string RequestTokenText(const std::string& identity, int cpuCount, int64_t unixTime = 0);
// Takes a token reply apart; false when it is not a usable token.
bool ParseToken(const std::string& reply, IssuedToken* token);
// Requests a token and parses it (ADD_FAILURE on a bad reply).
IssuedToken RequestToken(const std::string& identity, int cpuCount);

// Downloads the paper, starts the exam, answers the first `blocks` blocks, waits delayMs,
// then ends the exam with the digest of the answers. *endReply receives the end reply.
// With corrupt set, every answer is wrong (its first byte flipped) yet the end-exam digest
// matches them, so only recomputing answers from the paper can catch it.
// With onlyWrong >= 0, only that answer is wrong (and corrupt is ignored).
SatExam SitExam(const std::string& credential, const std::string& paperName, int blocks, int delayMs = 0,
                std::string* endReply = nullptr, bool corrupt = false, int onlyWrong = -1);
// Starts an exam; the raw reply text.
std::string StartExamText(const std::string& credential, const std::string& paperName);
// Ends an exam; the raw reply text.
std::string EndExamText(const std::string& credential, int64_t id, const std::string& answerSm3Hex);

// The result object of a run: device fields, "singlecore" and "multicore".
Json::Value ResultObject(const SatExam& single, const std::vector<SatExam>& multi, const std::string& socname);
// Styled JSON + "||" + tag, encrypted with the credential's key and rounds: the body.
std::string SubmissionBody(const IssuedToken& token, const Json::Value& result, const std::string& tag = "");
std::string SubmitText(const std::string& body);

// A whole exam: token, all papers, `blocks` answers each, submission body ready to post.
struct WholeRun {
  IssuedToken token;
  SatExam single;
  std::vector<SatExam> multi;
};
WholeRun SitWholeExam(const std::string& identity, int cpuCount, int blocks);

// The disk submission body for a result object and a serial (key and rounds from the serial).
std::string DiskBody(const Json::Value& result, const std::string& serial, const std::string& tag = "");
Json::Value DiskResult(const std::string& diskname, double base);

}  // namespace sorvanta::testing

#include <memory>

#include "server/reference_service.h"
#include "support/temp_dir.h"

namespace sorvanta::testing {

// A service on a free loopback port with its own temporary data folder, short exams and
// small papers; points SORVANTA_SERVICE_URL at itself while it lives. With
// SORVANTA_TEST_STORE=postgresql its store is a fresh PostgreSQL database.
class RunningService {
 public:
  static server::ServiceOptions TestOptions();
  explicit RunningService(server::ServiceOptions options = TestOptions());
  ~RunningService();
  bool ok() const { return service_ != nullptr; }
  const std::string& error() const { return error_; }
  const std::string& dataDir() const { return dir_.path(); }
  std::string BaseUrl() const { return service_ ? service_->BaseUrl() : std::string(); }
  int Port() const { return service_ ? service_->Port() : 0; }
  server::ReferenceService* service() { return service_.get(); }
  const server::ServiceOptions& options() const { return options_; }

 private:
  server::ServiceOptions options_;
  TempDir dir_{"service"};  // removed after the service has stopped
  std::string error_;
  std::unique_ptr<server::ReferenceService> service_;
};

}  // namespace sorvanta::testing
