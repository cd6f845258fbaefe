#include "base/language.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "support/temp_dir.h"

namespace sorvanta {
namespace {

using testing::TempDir;
using testing::WriteWholeFile;

TEST(LanguageFromEnvironment, OverrideThenFirstSetLocaleVariableZhMeansChinese) {
  struct Case {
    std::map<std::string, std::string> env;
    Language want;
  };
  const Case cases[] = {
      {{}, Language::kEnglish},
      {{{"LANG", "zh_CN.UTF-8"}}, Language::kChinese},
      {{{"LANG", "zh_TW.UTF-8"}}, Language::kChinese},
      {{{"LANG", "en_US.UTF-8"}}, Language::kEnglish},
      {{{"LANG", "C.UTF-8"}}, Language::kEnglish},
      {{{"LANG", "de_DE.UTF-8"}}, Language::kEnglish},
      {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_GB.UTF-8"}}, Language::kEnglish},
      {{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "zh_CN.UTF-8"}}, Language::kChinese},
      {{{"LC_ALL", "en_US.UTF-8"}, {"LANGUAGE", "zh_CN:en"}}, Language::kChinese},
      {{{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", ""}}, Language::kChinese},  // empty counts as unset
      {{{"LANG", "zh_CN.UTF-8"}, {"SORVANTA_LANG", "en"}}, Language::kEnglish},
      {{{"LANG", "en_US.UTF-8"}, {"SORVANTA_LANG", "zh"}}, Language::kChinese},
      {{{"LANG", "zh_CN.UTF-8"}, {"SORVANTA_LANG", "fr"}}, Language::kChinese},  // unknown: the locale decides
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& [k, v] : c.env) shown += k + "=" + v + " ";
    EXPECT_EQ(LanguageFromEnvironment([&](const char* name) -> const char* {
                auto it = c.env.find(name);
                return it == c.env.end() ? nullptr : it->second.c_str();
              }),
              c.want)
        << shown;
  }
}

// English comes from a compiled catalogue, the source texts stay what --json and files keep,
// and without a catalogue the texts stay Chinese.
TEST(UseLanguage, EnglishFromTheCatalogueAndChineseAsWritten) {
  TempDir dir("catalogue");
  ASSERT_TRUE(WriteWholeFile(dir.Path("en.po"),
                             "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                             "msgid \"开始\"\nmsgstr \"Start\"\n\n"
                             "#, c-format\nmsgid \"已写入 %d 个文件\"\nmsgstr \"%d files written\"\n"));
  const std::string folder = dir.Path("locale");
  const std::string compile = "mkdir -p " + folder + "/en/LC_MESSAGES && msgfmt --check -o " + folder +
                              "/en/LC_MESSAGES/sorvanta.mo " + dir.Path("en.po");
  ASSERT_EQ(std::system(compile.c_str()), 0) << "msgfmt (Debian package gettext) is needed";

  EXPECT_FALSE(UseLanguage(Language::kEnglish, dir.Path("nowhere")));
  EXPECT_EQ(CurrentLanguage(), Language::kChinese);
  EXPECT_STREQ(Tr("开始"), "开始");

  ASSERT_TRUE(UseLanguage(Language::kEnglish, folder));
  EXPECT_EQ(CurrentLanguage(), Language::kEnglish);
  EXPECT_STREQ(Tr("开始"), "Start");
  EXPECT_STREQ(Tr("没有英文的文字"), "没有英文的文字");
  EXPECT_STREQ(Tr(""), "");
  const Message m = Say("已写入 %d 个文件", 3);
  EXPECT_EQ(m.source, "已写入 3 个文件");
  EXPECT_EQ(m.shown, "3 files written");

  ASSERT_TRUE(UseLanguage(Language::kChinese, folder));
  EXPECT_STREQ(Tr("开始"), "开始");
  EXPECT_EQ(Say("已写入 %d 个文件", 3).shown, "已写入 3 个文件");
}

}  // namespace
}  // namespace sorvanta
