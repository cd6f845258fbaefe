// The token request: the encrypted device fingerprint posted to "sorvanta/getTokenV3",
// and the judgement of the reply. Runs on the caller's thread and blocks for the whole
// exchange (up to five tries of 20 s).
#pragma once

#include <string>
#include <utility>

#include "base/status.h"

namespace sorvanta {

// Builds the fingerprint of the machine (processor brand, machine id) at the current
// wall-clock time, posts the body for logicalCores to ServiceUrl("sorvanta/getTokenV3") and
// returns the reply text, or why no reply came (the failures of ServicePostText).
Result<std::string> RequestExamToken(const std::string& brandString, const std::string& machineId, int logicalCores);

// A token request's outcome with what the user is told about a failure.
struct TokenReply {
  TokenReply(std::string text = {}) : body(std::move(text)) {}  // NOLINT: a reply that came, as text
  std::string body;     // the reply text; empty when none came
  std::string refusal;  // the service's reason for turning the request down, when it gave one
  Status failure;       // why no reply came (ok when one did)
  std::string url;      // where the request went
};
// RequestExamToken keeping the service's refusal reason and the address tried.
TokenReply AskForExamToken(const std::string& brandString, const std::string& machineId, int logicalCores);
// The message for a reply judged kNoReply or kRefused: which server could not be reached
// and why; "服务器拒绝了请求：" and the service's reason; or, when the service gave none,
// kTokenNoReplyText / kTokenRefusedText.
std::string TokenFailureText(const TokenReply& reply);

// How a token reply is judged before a run starts.
enum class TokenVerdict {
  kNoReply,   // empty: "服务器通讯错误，此时无法跑分，请检查网络或者请稍后再试！"; back to idle
  kRefused,   // credential not 17 bytes: "当前跑分人数过多，请稍后再试！"; start stays disabled
  kAccepted,  // build the device object and start the exam session
};
TokenVerdict JudgeTokenReply(const std::string& reply);
// A failed request is kNoReply; a reply is judged as above.
TokenVerdict JudgeTokenReply(const Result<std::string>& reply);

// True when the first "||" piece of reply (the exam credential) Base64-decodes to
// exactly 17 bytes: a 16-byte SM4 key and the signed round count.
bool IsValidExamCredential(const std::string& reply);

// The user-facing texts of the two failed verdicts.
extern const char* const kTokenNoReplyText;
extern const char* const kTokenRefusedText;

}  // namespace sorvanta
