// The conversion every text reply gets (UTF-8 check, line ends), and the piece splitter
// that cuts replies at "||".
#include "fuzz_input.h"
#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  const std::string reply = fuzz::Text(data, size);
  IsWellFormedUtf8(reply);
  const std::string converted = ConvertReplyText(reply);
  size_t newlines = 0;
  for (char c : reply) newlines += c == '\n';
  fuzz::Require(converted.size() == reply.size() + newlines);
  size_t total = 0;
  for (const std::string& piece : SplitPieces(reply, "||")) total += piece.size();
  fuzz::Require(total <= reply.size());
  GbkToUtf8(reply);
  Utf8ToGbk(reply);
  return 0;
}
