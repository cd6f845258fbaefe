#include "base/language.h"

#include <libintl.h>
#include <sys/stat.h>

#include <atomic>
#include <clocale>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace sorvanta {

namespace {

constexpr const char* kDomain = "sorvanta";
std::atomic<Language> g_language{Language::kChinese};
// Set while SayComposed renders a text's Chinese source on this thread.
thread_local bool t_source = false;

}  // namespace

Language LanguageFromEnvironment(const std::function<const char*(const char*)>& lookup) {
  auto get = [&](const char* name) -> std::string {
    const char* value = lookup ? lookup(name) : std::getenv(name);
    return value ? value : "";
  };
  const std::string forced = get("SORVANTA_LANG");
  if (forced.rfind("zh", 0) == 0) return Language::kChinese;
  if (forced.rfind("en", 0) == 0) return Language::kEnglish;
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string value = get(name);
    if (!value.empty()) return value.rfind("zh", 0) == 0 ? Language::kChinese : Language::kEnglish;
  }
  return Language::kEnglish;
}

bool UseLanguage(Language language, const std::string& catalogueFolder) {
  if (language == Language::kChinese) {
    g_language = Language::kChinese;
    return true;
  }
  struct stat st;
  if (::stat((catalogueFolder + "/en/LC_MESSAGES/" + kDomain + ".mo").c_str(), &st) != 0) return false;
  ::bindtextdomain(kDomain, catalogueFolder.c_str());
  ::bind_textdomain_codeset(kDomain, "UTF-8");
  const char* messages = std::setlocale(LC_MESSAGES, nullptr);
  if (!messages || std::strcmp(messages, "C") == 0 || std::strcmp(messages, "POSIX") == 0) {
    if (!std::setlocale(LC_MESSAGES, "C.UTF-8")) return false;
  }
  ::setenv("LANGUAGE", "en", 1);
  g_language = Language::kEnglish;
  return true;
}

Language CurrentLanguage() { return g_language.load(std::memory_order_relaxed); }

const char* Tr(const char* text) {
  if (!text || !*text || t_source || g_language.load(std::memory_order_relaxed) == Language::kChinese) return text;
  return ::dgettext(kDomain, text);
}

Message Say(const char* format, ...) {
  Message m;
  va_list ap;
  va_start(ap, format);
  m.source = FormatTextV(format, ap);
  va_end(ap);
  va_start(ap, format);
  m.shown = FormatTextV(Tr(format), ap);
  va_end(ap);
  return m;
}

Message SayText(const char* text) { return Message{text, Tr(text)}; }

Message SayComposed(const std::function<std::string()>& render) {
  Message m;
  m.shown = render();
  struct Source {
    Source() { t_source = true; }
    ~Source() { t_source = false; }
  } source;
  m.source = render();
  return m;
}

}  // namespace sorvanta
