// Parsing of JSON texts that come from outside the program: service replies and the
// history files written from them.
//
// Such a text may be hostile or damaged, so these calls never throw: nesting deeper
// than kJsonInputDepthLimit, malformed text and lack of memory all read as "does not
// parse". Comments are allowed, as in every JSON text the program reads. Safe from any
// thread.
#pragma once

#include <json/value.h>

#include <string>

namespace sorvanta {

// Deepest nesting of arrays and objects accepted; honest texts stay below 8.
constexpr int kJsonInputDepthLimit = 64;

// Parses the first JSON value of text into *out (what follows it is ignored). On failure
// returns false and leaves *out null.
bool ParseJsonInput(const std::string& text, Json::Value* out);

// Parses text that must be one JSON object and nothing else apart from blanks and
// comments, so that it can stand as an element inside a larger JSON text.
bool ParseJsonObjectText(const std::string& text, Json::Value* out);

}  // namespace sorvanta
