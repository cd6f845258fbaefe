// Base64 and hexadecimal text from replies (credentials, block keys): decoding never reads
// or writes out of bounds, and encoding what was decoded gives the same bytes back.
#include "fuzz_input.h"
#include "base/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  const std::string text = fuzz::Text(data, size);
  const std::string decoded = Base64Decode(text);
  fuzz::Require(Base64Decode(Base64Encode(decoded)) == decoded);
  fuzz::Require(Base64Decode(Base64Encode(text)) == text);

  uint8_t key[16] = {};
  if (HexDecode(text, key, sizeof key)) fuzz::Require(HexEncode(key, sizeof key).size() == 32);
  return 0;
}
