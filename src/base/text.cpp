#include "base/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace sorvanta {

std::string FormatText(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string out = FormatTextV(fmt, ap);
  va_end(ap);
  return out;
}

std::string FormatTextV(const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  const int size = std::vsnprintf(nullptr, 0, fmt, ap);
  std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

std::vector<std::string> SplitPieces(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  size_t pos = 0;
  while (pos < text.size()) {
    size_t hit = text.find(separator, pos);
    size_t end = hit == std::string::npos ? text.size() : hit;
    if (end > pos) pieces.push_back(text.substr(pos, end - pos));
    if (hit == std::string::npos) break;
    pos = hit + separator.size();
    // Further characters that belong to the separator are part of the same cut.
    while (pos < text.size() && separator.find(text[pos]) != std::string::npos) ++pos;
  }
  return pieces;
}

std::string IntText(long long value) { return std::to_string(value); }

std::string FloatText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2f", static_cast<double>(static_cast<float>(value)));
  return buf;
}

bool IsWellFormedUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t follow;
    if (c < 0x80) follow = 0;
    else if (c >= 0xC0 && c <= 0xDF) follow = 1;
    else if (c >= 0xE0 && c <= 0xEF) follow = 2;
    else if (c >= 0xF0 && c <= 0xF7) follow = 3;
    else if (c >= 0xF8 && c <= 0xFB) follow = 4;
    else if (c >= 0xFC && c <= 0xFD) follow = 5;
    else return false;
    if (i + follow >= n) return false;  // sequence cut short
    for (size_t k = 1; k <= follow; ++k) {
      unsigned char f = static_cast<unsigned char>(text[i + k]);
      if (f < 0x80 || f > 0xBF) return false;
    }
    i += follow + 1;
  }
  return true;
}

std::string LfToCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string ConvertReplyText(const std::string& reply) {
  // The program's own texts are UTF-8 here, so a well-formed UTF-8 reply needs no
  // re-encoding; only the line ends change.
  return LfToCrLf(reply);
}

namespace {

std::string Convert(const std::string& in, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out;
  out.resize(in.size() * 2 + 16);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  size_t produced = 0;
  while (srcLeft > 0) {
    char* dst = out.data() + produced;
    size_t dstLeft = out.size() - produced;
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    produced = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // A character the target lacks, or a broken sequence: write '?' and skip one byte
      // (a whole character when the source is UTF-8).
      if (produced == out.size()) out.resize(out.size() * 2);
      out[produced++] = '?';
      size_t skip = 1;
      unsigned char c = static_cast<unsigned char>(*src);
      if (std::string(from) == "UTF-8") {
        if (c >= 0xF0) skip = 4;
        else if (c >= 0xE0) skip = 3;
        else if (c >= 0xC0) skip = 2;
      }
      if (skip > srcLeft) skip = srcLeft;
      src += skip;
      srcLeft -= skip;
    }
  }
  iconv_close(cd);
  out.resize(produced);
  return out;
}

}  // namespace

std::string Utf8ToGbk(const std::string& utf8) { return Convert(utf8, "GBK", "UTF-8"); }
std::string GbkToUtf8(const std::string& gbk) { return Convert(gbk, "UTF-8", "GBK"); }

std::string EscapeControls(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      escape(c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      escape(c);
      escape(static_cast<unsigned char>(text[++i]));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace sorvanta
