// Load generator for the reference service: requests per second of "sorvanta/startexam" and
// of whole score submissions (decryption, every check, sampled answers recomputed, store),
// from a separate process over loopback HTTPS. Run by bench/service_load.sh.
//
//   service_load [--url BASE] [--threads N] [--starts N] [--submissions N] [--cores N]
//                [--blocks N] [--tokens N] [--rankings N] [--fresh] [--cpu NAME=PID,PID...]
//
// Each timed phase prints its rate, the 50th and 99th percentile latency of its requests
// and how many failed; with --cpu (repeatable) also the CPU time per request that the
// given processes and their children (a database server's backends) spent in it.
//
// --fresh opens a new connection (and TLS handshake) per request, as the desktop program's
// request operations do; without it each thread keeps its connection alive.
#include <curl/curl.h>
#include <dirent.h>
#include <unistd.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/exam_protocol.h"
#include "base/crypto.h"
#include "base/text.h"

namespace {

using namespace sorvanta;

std::string g_base = "https://127.0.0.1:8443/";
bool g_fresh = false;

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One connection per thread, reused unless --fresh.
class Http {
 public:
  ~Http() {
    if (curl_) curl_easy_cleanup(curl_);
  }
  std::string Post(const std::string& path, const std::string& body) { return Do(path, &body); }
  std::string Get(const std::string& path) { return Do(path, nullptr); }

 private:
  std::string Do(const std::string& path, const std::string* body) {
    if (g_fresh && curl_) {
      curl_easy_cleanup(curl_);
      curl_ = nullptr;
    }
    if (!curl_) curl_ = curl_easy_init();
    std::string url = g_base + path, reply;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply);
    if (body) {
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body->c_str());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    } else {
      curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    }
    if (curl_easy_perform(curl_) != CURLE_OK) return std::string();
    return reply;
  }
  CURL* curl_ = nullptr;
};

struct Token {
  std::string credential, key;
  int rounds = 0;
  std::vector<std::string> papers;
};

bool GetToken(Http& http, const std::string& identity, int cores, Token* t) {
  std::string body = server::MakeTokenRequestBody(server::MakeFingerprint(identity, std::time(nullptr)), cores);
  std::vector<std::string> pieces = SplitPieces(http.Post("sorvanta/getTokenV3", body), "||");
  if (pieces.size() != static_cast<size_t>(cores) + 2) return false;
  std::string raw = Base64Decode(pieces[0]);
  if (raw.size() != 17) return false;
  t->credential = pieces[0];
  t->key = raw.substr(0, 16);
  t->rounds = static_cast<int8_t>(raw[16]);
  t->papers.assign(pieces.begin() + 1, pieces.end());
  return true;
}

std::string StartBody(const std::string& credential, const std::string& paper) {
  Json::Value body(Json::objectValue);
  body["token"] = credential;
  Json::Value item(Json::objectValue);
  item["examFile"] = paper;
  body["examstart"].append(item);
  return body.toStyledString();
}

int64_t StartedId(const std::string& reply) {
  Json::Value v;
  Json::Reader reader;
  if (!reader.parse(reply, v) || !v.isArray() || v.empty()) return 0;
  return v[0]["id"].asInt64();
}

// Runs fn(i) for i in [0, count) on `threads` threads; returns the seconds it took. With
// latencies given, records how long each call took (ms).
template <typename Fn>
double Parallel(int threads, int count, Fn fn, std::vector<double>* latencies = nullptr) {
  std::atomic<int> next{0};
  std::mutex mu;
  if (latencies) latencies->clear();
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int w = 0; w < threads; ++w) {
    pool.emplace_back([&] {
      Http http;
      std::vector<double> mine;
      for (int i; (i = next++) < count;) {
        auto start = std::chrono::steady_clock::now();
        fn(http, i);
        mine.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      }
      std::lock_guard<std::mutex> lock(mu);
      if (latencies) latencies->insert(latencies->end(), mine.begin(), mine.end());
    });
  }
  for (std::thread& t : pool) t.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Processes whose CPU time is reported per request, by name.
std::vector<std::pair<std::string, std::vector<int>>> g_cpu;

// CPU seconds (user + system) of a process, or 0 when it is gone.
double ProcessCpu(int pid, int* parent = nullptr) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 4 && parent) *parent = std::atoi(field.c_str());
    if (i == 14) utime = std::atof(field.c_str());
    if (i == 15) {
      stime = std::atof(field.c_str());
      break;
    }
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of each --cpu group: its processes and their direct children.
std::vector<double> GroupCpu() {
  std::vector<double> out(g_cpu.size(), 0.0);
  std::vector<std::pair<int, int>> all;  // pid, parent
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      int pid = std::atoi(e->d_name), parent = 0;
      if (pid > 0) {
        ProcessCpu(pid, &parent);
        all.emplace_back(pid, parent);
      }
    }
    closedir(d);
  }
  for (size_t g = 0; g < g_cpu.size(); ++g) {
    for (int pid : g_cpu[g].second) {
      out[g] += ProcessCpu(pid);
      for (const auto& [child, parent] : all) {
        if (parent == pid) out[g] += ProcessCpu(child);
      }
    }
  }
  return out;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

// "NAME: N requests in S s = R requests/s, p50 A ms, p99 B ms (E failed)"
void Report(const char* name, const char* unit, int count, double seconds, const std::vector<double>& latencies,
            int failed) {
  std::printf("%s: %d %s in %.2f s = %.1f %s/s, p50 %.1f ms, p99 %.1f ms (%d failed)\n", name, count, unit, seconds,
              count / seconds, unit, Percentile(latencies, 0.50), Percentile(latencies, 0.99), failed);
}

// CPU per request of each --cpu group since `before`.
void ReportCpu(const std::vector<double>& before, int count, const char* what = "request") {
  if (g_cpu.empty() || count == 0) return;
  std::vector<double> after = GroupCpu();
  std::printf("  cpu per %s:", what);
  for (size_t g = 0; g < g_cpu.size(); ++g) {
    std::printf(" %s %.2f ms", g_cpu[g].first.c_str(), (after[g] - before[g]) * 1000.0 / count);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 8, starts = 2048, submissions = 64, cores = 4, blocks = 4, tokens = 64, rankings = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--url") g_base = next();
    else if (a == "--threads") threads = std::atoi(next());
    else if (a == "--starts") starts = std::atoi(next());
    else if (a == "--submissions") submissions = std::atoi(next());
    else if (a == "--cores") cores = std::atoi(next());
    else if (a == "--blocks") blocks = std::atoi(next());
    else if (a == "--tokens") tokens = std::atoi(next());
    else if (a == "--rankings") rankings = std::atoi(next());
    else if (a == "--cpu") {
      std::string cpuArg = next();
      size_t eq = cpuArg.find('=');
      std::vector<int> pids;
      for (std::string rest = eq == std::string::npos ? "" : cpuArg.substr(eq + 1); !rest.empty();) {
        size_t comma = rest.find(',');
        pids.push_back(std::atoi(rest.substr(0, comma).c_str()));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
      }
      g_cpu.emplace_back(cpuArg.substr(0, eq), pids);
    }
    else if (a == "--fresh") g_fresh = true;
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (threads < 1 || starts < 0 || submissions < 0 || cores < 1 || cores > 254 || blocks < 1) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::printf("service %s, %d threads, %s connections\n", g_base.c_str(), threads, g_fresh ? "fresh" : "kept-alive");

  // getTokenV3 at its dearest: 254 processors means 255 passes, the last count tried.
  if (tokens > 0) {
    std::atomic<int> failed{0};
    std::string tag = std::to_string(std::time(nullptr));
    std::vector<double> ms, cpu = GroupCpu();
    double s = Parallel(threads, tokens, [&](Http& h, int i) {
      Token token;
      if (!GetToken(h, "load-token-" + std::to_string(i) + "-" + tag, 254, &token)) ++failed;
    }, &ms);
    Report("getTokenV3 (255 passes, 255 papers)", "requests", tokens, s, ms, failed.load());
    ReportCpu(cpu, tokens);
  }

  // startexam: papers of 254-processor tokens, one exam each.
  if (starts > 0) {
    std::vector<std::pair<std::string, std::string>> jobs;  // credential, paper
    Http http;
    for (int t = 0; static_cast<int>(jobs.size()) < starts; ++t) {
      Token token;
      if (!GetToken(http, "load-start-" + std::to_string(t) + "-" + std::to_string(std::time(nullptr)), 254, &token)) {
        std::fprintf(stderr, "token request failed (is the service running with --rate-limit 0?)\n");
        return 1;
      }
      for (const std::string& p : token.papers) jobs.emplace_back(token.credential, p);
    }
    jobs.resize(starts);
    std::atomic<int> failed{0};
    std::vector<double> ms, cpu = GroupCpu();
    double s = Parallel(threads, starts, [&](Http& h, int i) {
      if (StartedId(h.Post("sorvanta/startexam", StartBody(jobs[i].first, jobs[i].second))) == 0) ++failed;
    }, &ms);
    Report("startexam", "requests", starts, s, ms, failed.load());
    ReportCpu(cpu, starts);
  }

  // Submissions: prepare whole runs (not timed), then post them all.
  if (submissions > 0) {
    std::vector<std::string> bodies(submissions);
    std::atomic<int> prepFailed{0};
    std::string tag = std::to_string(std::time(nullptr));
    std::vector<double> prepCpu = GroupCpu();
    double prep = Parallel(threads, submissions, [&](Http& h, int i) {
      Token token;
      if (!GetToken(h, "load-submit-" + std::to_string(i) + "-" + tag, cores, &token)) {
        ++prepFailed;
        return;
      }
      Json::Value result(Json::objectValue);
      result["socname"] = "Load Generator CPU";
      result["multicore"] = Json::Value(Json::arrayValue);
      for (size_t k = 0; k < token.papers.size(); ++k) {
        std::string paper = h.Get("exampaper/" + token.papers[k]);
        int64_t id = StartedId(h.Post("sorvanta/startexam", StartBody(token.credential, token.papers[k])));
        std::string answers;
        for (int b = 0; b < blocks && (b + 1) * 32 <= static_cast<int>(paper.size()); ++b) {
          answers += server::BlockAnswer(paper.substr(b * 32, 32));
        }
        Json::Value end(Json::objectValue);
        end["token"] = token.credential;
        end["answersm3"] = Sm3HexDigest(answers.data(), answers.size());
        end["id"] = static_cast<Json::Int64>(id);
        if (h.Post("sorvanta/endexam", end.toStyledString()) != "ok") ++prepFailed;
        Json::Value exam(Json::objectValue);
        exam["id"] = static_cast<Json::Int64>(id);
        exam["coreid"] = k == 0 ? 1 : static_cast<int>(k - 1);
        exam["result"] = Base64Encode(answers);
        if (k == 0) result["singlecore"] = exam;
        else result["multicore"].append(exam);
      }
      std::string cipher = server::Sm4Passes(result.toStyledString() + "||", token.key, token.rounds, 1);
      bodies[i] = token.credential + "||" + Base64Encode(cipher);
    });
    if (prepFailed > 0) {
      std::fprintf(stderr, "%d preparations failed\n", prepFailed.load());
      return 1;
    }
    std::printf("(preparing a submission: 1 token, %d papers, exam starts and ends)\n", cores + 1);
    ReportCpu(prepCpu, submissions, "preparation");
    std::atomic<int> refused{0};
    std::vector<double> ms, cpu = GroupCpu();
    double s = Parallel(threads, submissions, [&](Http& h, int i) {
      std::string reply = h.Post("sorvanta/cpuscoresubmitV4", bodies[i]);
      if (SplitPieces(reply, "||").size() != 2 && refused++ == 0) {
        std::fprintf(stderr, "refused: %s\n", reply.c_str());
      }
    }, &ms);
    std::printf("(submissions: %d exams of %d answers each, prepared in %.1f s)\n", cores + 1, blocks, prep);
    Report("cpuscoresubmitV4", "submissions", submissions, s, ms, refused.load());
    ReportCpu(cpu, submissions);
  }

  // Ranking reads: the page's CPU table (the store's two ordered top-100 reads).
  if (rankings > 0) {
    std::atomic<int> failed{0};
    std::vector<double> ms, cpu = GroupCpu();
    double s = Parallel(threads, rankings, [&](Http& h, int) {
      if (h.Get("RankingList/cpu.json").find("\"single\"") == std::string::npos) ++failed;
    }, &ms);
    Report("RankingList/cpu.json", "requests", rankings, s, ms, failed.load());
    ReportCpu(cpu, rankings);
  }
  curl_global_cleanup();
  return 0;
}
