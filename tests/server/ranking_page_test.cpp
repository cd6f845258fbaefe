// The ranking page, rendered by a real browser (headless Chromium) from the running service.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "service/requests.h"
#include "base/text.h"
#include "service_client.h"

namespace sorvanta::testing {
namespace {

std::string FindChromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return std::string();
}

// The DOM after the page's scripts ran (virtual time lets the fetches finish).
std::string DumpDom(const std::string& chromium, const std::string& url, const std::string& profile) {
  std::string command = "timeout 90 " + chromium +
                        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                        " --disable-background-networking --disable-component-update --disable-sync"
                        " --ignore-certificate-errors --virtual-time-budget=10000 --user-data-dir=" +
                        profile + " --dump-dom '" + url + "' 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(RankingPage, BrowserShowsSubmittedScores) {
  std::string chromium = FindChromium();
  if (chromium.empty()) GTEST_SKIP() << "needs chromium";
  RunningService service;
  ASSERT_TRUE(service.ok()) << service.error();

  WholeRun run = SitWholeExam("machine-ranking", 1, 2);
  std::string reply = SubmitText(SubmissionBody(run.token, ResultObject(run.single, run.multi, "Ranking <b>CPU</b>")));
  ASSERT_EQ(SplitPieces(reply, "||").size(), 2u) << reply;
  std::string diskScore =
      ServicePostText(ServiceUrl("sorvanta/diskbench"), DiskBody(DiskResult("/data Ranking Disk", 400), "XSERIAL42")).value_or("");
  ASSERT_FALSE(diskScore.empty());

  std::string profile = service.dataDir() + "/chromium-profile";
  std::filesystem::create_directories(profile);
  std::string dom = DumpDom(chromium, service.BaseUrl() + "RankingList/RankingList.html", profile);
  ASSERT_NE(dom.find("跑分排行榜"), std::string::npos) << dom.substr(0, 500);
  // Names are shown as text, never as markup.
  EXPECT_NE(dom.find("Ranking &lt;b&gt;CPU&lt;/b&gt;"), std::string::npos) << dom;
  EXPECT_EQ(dom.find("Ranking <b>CPU</b>"), std::string::npos);
  EXPECT_NE(dom.find(">100</td>"), std::string::npos);  // 2 blocks in 2000 ms
  EXPECT_NE(dom.find("/data Ranking Disk"), std::string::npos);
  EXPECT_NE(dom.find(">" + diskScore + "</td>"), std::string::npos);
  EXPECT_NE(dom.find("<p id=\"updated\">更新于"), std::string::npos);
}

TEST(RankingPage, IsSelfContained) {
  RunningService service;
  ASSERT_TRUE(service.ok()) << service.error();
  std::string page = ServiceGetText(ServiceUrl("RankingList/RankingList.html")).value_or("");
  ASSERT_NE(page.find("<!DOCTYPE html>"), std::string::npos);
  EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
  EXPECT_EQ(page.find("http://"), std::string::npos);
  EXPECT_EQ(page.find("https://"), std::string::npos);
  EXPECT_EQ(page.find("<script src"), std::string::npos);
  EXPECT_EQ(page.find("<link"), std::string::npos);
}

}  // namespace
}  // namespace sorvanta::testing
