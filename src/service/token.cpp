#include "service/token.h"

#include <vector>

#include "base/crypto.h"
#include "base/language.h"
#include "base/text.h"
#include "platform/clock.h"
#include "service/requests.h"
#include "service/wire_protocol.h"

namespace sorvanta {

const char* const kTokenNoReplyText = N_("服务器通讯错误，此时无法跑分，请检查网络或者请稍后再试！");
const char* const kTokenRefusedText = N_("当前跑分人数过多，请稍后再试！");

Result<std::string> RequestExamToken(const std::string& brandString, const std::string& machineId, int logicalCores) {
  const DeviceFingerprint fp =
      BuildDeviceFingerprint(brandString, machineId, static_cast<int64_t>(platform::WallClock()));
  return ServicePostText(ServiceUrl("sorvanta/getTokenV3"), BuildTokenRequestBody(fp, logicalCores));
}

TokenReply AskForExamToken(const std::string& brandString, const std::string& machineId, int logicalCores) {
  const DeviceFingerprint fp =
      BuildDeviceFingerprint(brandString, machineId, static_cast<int64_t>(platform::WallClock()));
  TokenReply reply;
  reply.url = ServiceUrl("sorvanta/getTokenV3");
  Result<ServiceReply> answer = ServicePostForReply(reply.url, BuildTokenRequestBody(fp, logicalCores));
  if (!answer.ok()) {
    reply.failure = answer.status();
    return reply;
  }
  reply.body = std::move(answer->body);
  reply.refusal = std::move(answer->refusal);
  return reply;
}

std::string TokenFailureText(const TokenReply& reply) {
  if (!reply.failure.ok()) return ServiceFailureText(reply.failure, reply.url);
  // The service's own reason is shown as it came.
  if (!reply.refusal.empty()) return Tr("服务器拒绝了请求：") + reply.refusal;
  return Tr(reply.body.empty() ? kTokenNoReplyText : kTokenRefusedText);
}

bool IsValidExamCredential(const std::string& reply) {
  const std::vector<std::string> pieces = SplitPieces(reply, "||");
  return !pieces.empty() && Base64Decode(pieces[0]).size() == 17;
}

TokenVerdict JudgeTokenReply(const std::string& reply) {
  if (reply.empty()) return TokenVerdict::kNoReply;
  return IsValidExamCredential(reply) ? TokenVerdict::kAccepted : TokenVerdict::kRefused;
}

TokenVerdict JudgeTokenReply(const Result<std::string>& reply) {
  return reply.ok() ? JudgeTokenReply(reply.value()) : TokenVerdict::kNoReply;
}

}  // namespace sorvanta
