// The program's language. Every user-facing text is written in the code in Chinese, which is
// both the Chinese interface and the key of the English catalogue (GNU gettext, domain
// "sorvanta", compiled from po/ by msgfmt). Tr answers in the language chosen at start-up.
#pragma once

#include <functional>
#include <string>

namespace sorvanta {

enum class Language { kChinese, kEnglish };

// The language the environment asks for: SORVANTA_LANG ("zh" or "en") decides when set;
// otherwise the first non-empty of LANGUAGE, LC_ALL, LC_MESSAGES and LANG, where any value
// beginning with "zh" means Chinese and anything else (C, POSIX, en_US, de_DE...) English.
Language LanguageFromEnvironment(const std::function<const char*(const char*)>& lookup = nullptr);

// Makes Tr answer in language. For English it binds the catalogue in catalogueFolder (the
// folder holding en/LC_MESSAGES/sorvanta.mo) and, because gettext translates nothing in the
// "C" locale, moves LC_MESSAGES to C.UTF-8 where the locale is C, and sets LANGUAGE=en, which
// programs started from here inherit. Call it before other threads start, and in a Qt program
// after QApplication's constructor (which resets the locale from the environment).
// Returns false when English was asked for and its catalogue cannot be found, in which case
// the texts stay Chinese.
bool UseLanguage(Language language, const std::string& catalogueFolder);
Language CurrentLanguage();

// text, written in Chinese in the code, in the current language. A text the catalogue lacks
// is returned as it is.
const char* Tr(const char* text) __attribute__((format_arg(1)));

// A text in both languages: source (the Chinese text) is what --json output, the service and
// files that other programs read keep whatever the language; shown is what people see.
struct Message {
  std::string source;
  std::string shown;
};
// printf of format and of its translation with the same arguments.
Message Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A fixed text in both languages.
Message SayText(const char* text);
// A text composed by render from several translated pieces, in both languages: render runs
// once as it is and once with Tr answering in Chinese on this thread.
Message SayComposed(const std::function<std::string()>& render);

}  // namespace sorvanta

// Marks a text for the catalogue where it is stored (a table, a constant) and translated by
// Tr only where it is shown.
#define N_(text) text
// Marks a Chinese text that stays Chinese in every language: sent to the service, or part
// of a file that other programs or later runs read.
#define ZH_(text) text
