// The reference service's handlers for the token request, the start and end of an exam
// and the CPU and disk submissions, fed what any client on the network may send.
//
// The first input byte picks the handler and how the rest is used. Bodies may name the
// fresh token's credential as @TOKEN@, its first paper as @PAPER@ and the exam id as @ID@,
// so that the fuzzer gets past the credential checks; two modes encrypt the rest as a
// client would, so that the fuzzer reaches the result parsers behind the decryption.
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "service/token.h"
#include "service/wire_protocol.h"
#include "fuzz_input.h"
#include "platform/clock.h"
#include "server/exam_protocol.h"
#include "server/service_logic.h"
#include "server/store.h"
#include "base/crypto.h"
#include "base/text.h"

namespace {

using sorvanta::server::ServiceLogic;

ServiceLogic& Logic() {
  static std::unique_ptr<sorvanta::server::Store> store;
  static std::unique_ptr<ServiceLogic> logic = [] {
    std::string error;
    store = sorvanta::server::OpenSqliteStore(":memory:", &error);
    if (!store) std::abort();
    sorvanta::server::ServiceOptions options;
    // No rate limits: every input gets a fresh token and is judged on its own.
    options.rateLimitTokens = 0;
    options.rateLimitPerAddress = 0;
    options.tokenRequestBurst = 0;
    options.diskScoresPerSerial = 0;
    options.diskScoresPerAddress = 0;
    options.paperBytes = 4096;
    return std::make_unique<ServiceLogic>(store.get(), options);
  }();
  return *logic;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
}

struct Token {
  std::string credential, paper, key;
  int rounds = 0;
  long long examId = 0;
};

// A token for a one-processor machine, its first exam started.
Token FreshToken() {
  const auto fingerprint = sorvanta::BuildDeviceFingerprint(
      "Fuzz CPU", "0123456789abcdef0123456789abcdef", static_cast<int64_t>(sorvanta::platform::WallClock()));
  const sorvanta::server::Reply reply = Logic().IssueToken(sorvanta::BuildTokenRequestBody(fingerprint, 1));
  const std::vector<std::string> pieces = sorvanta::SplitPieces(reply.body, "||");
  if (!reply.ok || pieces.size() != 3) std::abort();
  Token t;
  t.credential = pieces[0];
  t.paper = pieces[1];
  const std::string raw = sorvanta::Base64Decode(t.credential);
  t.key = raw.substr(0, 16);
  t.rounds = static_cast<int8_t>(raw[16]);
  const sorvanta::server::Reply started = Logic().StartExam(
      "{\"token\":\"" + t.credential + "\",\"examstart\":[{\"examFile\":\"" + t.paper + "\"}]}");
  const size_t id = started.body.find("\"id\":");
  if (started.ok && id != std::string::npos) t.examId = std::atoll(started.body.c_str() + id + 5);
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 7;
  std::string body = fuzz::Text(data + 1, size - 1);
  ServiceLogic& logic = Logic();
  if (mode == 0) {
    logic.IssueToken(body);
    return 0;
  }
  if (mode == 5) {
    logic.SubmitDiskScore(body);
    return 0;
  }
  if (mode == 6) {
    // A serial whose first byte asks for no encryption pass: the body is the plaintext.
    logic.SubmitDiskScore(Base64Encode(body) + "||\x80" "FUZZSERIAL0001");
    return 0;
  }
  const Token token = FreshToken();
  ReplaceAll(&body, "@TOKEN@", token.credential);
  ReplaceAll(&body, "@PAPER@", token.paper);
  ReplaceAll(&body, "@ID@", std::to_string(token.examId));
  switch (mode) {
    case 1: logic.StartExam(body); break;
    case 2: logic.EndExam(body); break;
    case 3: logic.SubmitCpuScore(body); break;
    case 4: {
      // Encrypted as the client does: zero-padded to 16 bytes, the token's number of passes.
      std::string plain = body;
      plain.resize((plain.size() + 15) / 16 * 16, '\0');
      const std::string cipher = server::Sm4Passes(plain, token.key, token.rounds, 1);
      logic.SubmitCpuScore(token.credential + "||" + Base64Encode(cipher));
      break;
    }
  }
  return 0;
}
