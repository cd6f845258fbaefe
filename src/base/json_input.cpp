#include "base/json_input.h"

#include <json/reader.h>

#include <memory>

namespace sorvanta {
namespace {

bool Parse(const std::string& text, bool wholeText, Json::Value* out) {
  *out = Json::Value();
  try {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = true;
    builder["stackLimit"] = kJsonInputDepthLimit;
    builder["failIfExtra"] = wholeText;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    const char* begin = text.data();
    if (!reader->parse(begin, begin + text.size(), &root, nullptr)) return false;
    *out = std::move(root);
    return true;
  } catch (...) {
    // The reader throws past its depth limit, and any allocation may fail.
    *out = Json::Value();
    return false;
  }
}

}  // namespace

bool ParseJsonInput(const std::string& text, Json::Value* out) { return Parse(text, false, out); }

bool ParseJsonObjectText(const std::string& text, Json::Value* out) {
  if (!Parse(text, true, out)) return false;
  if (out->isObject()) return true;
  *out = Json::Value();
  return false;
}

}  // namespace sorvanta
