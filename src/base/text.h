// Small text helpers shared by every subsystem.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

namespace sorvanta {

// Cuts text at every separator; a run of separator characters after a separator counts
// as one, and empty pieces are never produced ("a||||b" -> {"a","b"}; "" -> {}).
std::vector<std::string> SplitPieces(const std::string& text, const std::string& separator);

// printf into a string of whatever length the result needs.
std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
// "%d" of an integer.
std::string IntText(long long value);
// "%.2f" of a value narrowed to single precision.
std::string FloatText(double value);

// Well-formed UTF-8 by the RFC 2279 rule (sequences of 2 to 6 bytes, overlong forms allowed).
bool IsWellFormedUtf8(const std::string& text);
// Every "\n" becomes "\r\n" (an existing "\r\n" becomes "\r\r\n").
std::string LfToCrLf(const std::string& text);
// text with every control character written as \xNN: the C0 bytes, DEL and the UTF-8
// encoded C1 controls (U+0080..U+009F). Text from outside cannot break or forge a line of a
// log or send escape sequences to a terminal this way; other bytes stay as they are.
std::string EscapeControls(const std::string& text);
// The conversion every text reply gets: replies stay UTF-8 on Linux, line ends become CR LF.
std::string ConvertReplyText(const std::string& reply);
// UTF-8 to GBK through iconv; characters GBK lacks become '?'. Used by the CSV export.
std::string Utf8ToGbk(const std::string& utf8);
std::string GbkToUtf8(const std::string& gbk);

}  // namespace sorvanta
