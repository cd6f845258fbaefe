#include "pg_cluster.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sys/wait.h>

#include "support/temp_dir.h"

namespace sorvanta::testing {
namespace {

class SharedCluster {
 public:
  SharedCluster() {
    if (!dir_.ok()) {
      why_ = "cannot create a temporary folder";
      return;
    }
    int status = RunClusterScript("start " + dir_.path() + " --instances 0 --no-fsync");
    if (status == 3) {
      why_ = "PostgreSQL is not installed (scripts/packages.txt lists it): store tests on it skipped";
      return;
    }
    std::ifstream in(dir_.Path("store.uri"));
    if (status != 0 || !std::getline(in, uri_)) why_ = "scripts/cluster could not start PostgreSQL";
  }
  ~SharedCluster() {
    if (!uri_.empty()) RunClusterScript("stop " + dir_.path());
  }

  std::string Fresh(std::string* why) {
    std::lock_guard<std::mutex> lock(mu_);
    if (uri_.empty()) {
      *why = why_;
      return "";
    }
    std::string name = "t";
    name += std::to_string(++count_);
    PGconn* c = PQconnectdb((uri_.substr(0, uri_.rfind('/') + 1) + "postgres").c_str());
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) *why = std::string("cannot create a database: ") + PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    return ok ? uri_.substr(0, uri_.rfind('/') + 1) + name : "";
  }

 private:
  TempDir dir_{"pg"};
  std::string uri_, why_;
  std::mutex mu_;
  int count_ = 0;
};

}  // namespace

int RunClusterScript(const std::string& arguments) {
  std::string command = std::string(SORVANTA_SOURCE_DIR) + "/scripts/cluster " + arguments + " > /dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FreshPostgresDatabase(std::string* why) {
  static SharedCluster cluster;  // started on first use, stopped at exit
  return cluster.Fresh(why);
}

bool TestsUsePostgres() {
  const char* v = std::getenv("SORVANTA_TEST_STORE");
  return v && std::string(v) == "postgresql";
}

}  // namespace sorvanta::testing
