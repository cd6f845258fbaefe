// The token reply and the exam credential in it, as the CPU window and the session read them.
#include "service/token.h"
#include "service/wire_protocol.h"
#include "fuzz_input.h"
#include "base/crypto.h"
#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  const std::string reply = fuzz::Text(data, size);
  const TokenVerdict verdict = JudgeTokenReply(reply);
  fuzz::Require((verdict == TokenVerdict::kNoReply) == reply.empty());
  const std::vector<std::string> pieces = SplitPieces(reply, "||");
  for (const std::string& piece : pieces) fuzz::Require(!piece.empty() && piece.find("||") == std::string::npos);
  if (!pieces.empty()) {
    const std::string credential = Base64Decode(pieces[0]);
    fuzz::Require((verdict == TokenVerdict::kAccepted) == (credential.size() == 17));
  }
  return 0;
}
