// The token request: the encrypted device fingerprint posted to "sorvanta/getTokenV3",
// and the judgement of the reply. Runs on the caller's thread and blocks for the whole
// exchange (up to five tries of 20 s).
#pragma once

#include <string>

#include "base/status.h"

namespace sorvanta {

// Builds the fingerprint of the machine (processor brand, machine id) at the current
// wall-clock time, posts the body for logicalCores to ServiceUrl("sorvanta/getTokenV3") and
// returns the reply text, or why no reply came (the failures of ServicePostText).
Result<std::string> RequestExamToken(const std::string& brandString, const std::string& machineId, int logicalCores);

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
