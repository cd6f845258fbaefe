// Store on a PostgreSQL server, shared by any number of service instances. libpq directly:
// a pool of connections (one per request thread), every statement prepared once per
// connection, text results. Invariants that the SQLite store gets from its single writer
// hold here through the database: unique keys for one-time events (a token used, an exam
// started, a disk digest), conditional updates that lock the row they change, and
// transaction-scoped advisory locks around "count, then insert" limits, so that concurrent
// instances queue per address instead of failing and retrying under SERIALIZABLE.
// Transient failures (serialization or deadlock, a dropped connection, a server restart or
// failover) are retried a bounded number of times on a fresh connection.
#include <libpq-fe.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/store.h"

namespace sorvanta::server {
namespace {

// Versioned schema changes, applied in order at start and recorded in schema_version.
// Client-supplied texts are BYTEA: they may hold any bytes, NUL included, which TEXT refuses.
struct Migration {
  int version;
  const char* sql;
};
const Migration kMigrations[] = {
    {1, R"sql(
CREATE TABLE tokens (
  id BIGSERIAL PRIMARY KEY,
  credential TEXT NOT NULL UNIQUE,
  key BYTEA NOT NULL,
  rounds INTEGER NOT NULL,
  machine TEXT NOT NULL,
  cpu_count INTEGER NOT NULL,
  issued_at BIGINT NOT NULL,
  used BOOLEAN NOT NULL DEFAULT false,
  address TEXT NOT NULL DEFAULT '',
  paper_seed BYTEA NOT NULL DEFAULT '',
  paper_bytes INTEGER NOT NULL DEFAULT 0,
  first_fetch_ms BIGINT NOT NULL DEFAULT 0);
CREATE INDEX tokens_machine ON tokens(machine, issued_at);
CREATE INDEX tokens_issued ON tokens(issued_at);
CREATE INDEX tokens_address ON tokens(address, issued_at);
CREATE TABLE papers (
  name TEXT PRIMARY KEY,
  token_id BIGINT NOT NULL REFERENCES tokens(id) ON DELETE CASCADE,
  slot INTEGER NOT NULL,
  seed BYTEA NOT NULL,
  bytes INTEGER NOT NULL);
CREATE INDEX papers_token ON papers(token_id);
CREATE TABLE exams (
  id BIGINT PRIMARY KEY,
  token_id BIGINT NOT NULL REFERENCES tokens(id) ON DELETE CASCADE,
  paper TEXT NOT NULL UNIQUE,
  sm4key TEXT NOT NULL,
  start_ms BIGINT NOT NULL,
  end_ms BIGINT NOT NULL DEFAULT 0,
  answer_sm3 TEXT NOT NULL DEFAULT '');
CREATE INDEX exams_token ON exams(token_id);
CREATE TABLE cpu_scores (
  id BIGSERIAL PRIMARY KEY,
  token_id BIGINT NOT NULL,
  machine TEXT NOT NULL,
  runtime BIGINT NOT NULL,
  singlecore INTEGER NOT NULL,
  multicore BIGINT NOT NULL,
  cores INTEGER NOT NULL,
  socname BYTEA NOT NULL,
  platform BYTEA NOT NULL,
  os BYTEA NOT NULL,
  abi BYTEA NOT NULL,
  device BYTEA NOT NULL,
  record BYTEA NOT NULL,
  body_sm3 TEXT NOT NULL DEFAULT '',
  reply BYTEA NOT NULL DEFAULT '');
CREATE INDEX cpu_single ON cpu_scores(singlecore DESC, id);
CREATE INDEX cpu_multi ON cpu_scores(multicore DESC, id);
CREATE INDEX cpu_token ON cpu_scores(token_id);
CREATE TABLE disk_scores (
  id BIGSERIAL PRIMARY KEY,
  runtime BIGINT NOT NULL,
  digest TEXT NOT NULL UNIQUE,
  address TEXT NOT NULL DEFAULT '',
  serial BYTEA NOT NULL,
  diskname BYTEA NOT NULL,
  platform BYTEA NOT NULL,
  prefill INTEGER NOT NULL,
  writesize DOUBLE PRECISION NOT NULL,
  linerbufferwrite DOUBLE PRECISION NOT NULL,
  linernobufferwrite DOUBLE PRECISION NOT NULL,
  linerread DOUBLE PRECISION NOT NULL,
  fourkwrite DOUBLE PRECISION NOT NULL,
  fourkread DOUBLE PRECISION NOT NULL,
  mtfourkwrite DOUBLE PRECISION NOT NULL,
  mtfourkread DOUBLE PRECISION NOT NULL,
  score INTEGER NOT NULL);
CREATE INDEX disk_score ON disk_scores(score DESC, id);
CREATE INDEX disk_serial ON disk_scores(serial, runtime);
CREATE INDEX disk_address ON disk_scores(address, runtime);
CREATE TABLE secrets (
  name TEXT PRIMARY KEY,
  value BYTEA NOT NULL);
)sql"},
};

// Advisory lock classes: the first key of pg_advisory_xact_lock(int, int).
// 1 = token limits of an address, 2 = disk scores of a serial, 3 = disk scores of an
// address, 4 = schema migrations.
const char* const kStatements[][2] = {
    {"add_token",
     "INSERT INTO tokens(credential, key, rounds, machine, cpu_count, issued_at, address, paper_seed, paper_bytes) "
     "VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9) RETURNING id"},
    {"add_paper", "INSERT INTO papers(name, token_id, slot, seed, bytes) VALUES($1,$2,$3,$4,$5)"},
    {"lock_token_address", "SELECT pg_advisory_xact_lock(1, hashtext($1))"},
    {"count_address", "SELECT COUNT(*) FROM tokens WHERE address = $1 AND issued_at >= $2"},
    {"count_address_machine", "SELECT COUNT(*) FROM tokens WHERE address = $1 AND issued_at >= $2 AND machine = $3"},
    {"find_token",
     "SELECT id, credential, key, rounds, machine, cpu_count, issued_at, used, address, paper_seed, paper_bytes, "
     "first_fetch_ms FROM tokens WHERE credential = $1"},
    {"find_token_id",
     "SELECT id, credential, key, rounds, machine, cpu_count, issued_at, used, address, paper_seed, paper_bytes, "
     "first_fetch_ms FROM tokens WHERE id = $1"},
    {"mark_fetched", "UPDATE tokens SET first_fetch_ms = $1 WHERE id = $2 AND first_fetch_ms = 0"},
    {"add_secret", "INSERT INTO secrets(name, value) VALUES($1,$2) ON CONFLICT (name) DO NOTHING"},
    {"find_secret", "SELECT value FROM secrets WHERE name = $1"},
    {"count_machine", "SELECT COUNT(*) FROM tokens WHERE machine = $1 AND issued_at >= $2"},
    {"find_paper", "SELECT name, token_id, slot, seed, bytes FROM papers WHERE name = $1"},
    {"add_exam",
     "INSERT INTO exams(id, token_id, paper, sm4key, start_ms) VALUES($1,$2,$3,$4,$5) ON CONFLICT DO NOTHING "
     "RETURNING id"},
    {"exam_paper_taken", "SELECT 1 FROM exams WHERE paper = $1"},
    {"find_exam", "SELECT id, token_id, paper, sm4key, start_ms, end_ms, answer_sm3 FROM exams WHERE id = $1"},
    {"find_exam_paper",
     "SELECT id, token_id, paper, sm4key, start_ms, end_ms, answer_sm3 FROM exams WHERE paper = $1"},
    {"end_exam", "UPDATE exams SET end_ms = $1, answer_sm3 = $2 WHERE id = $3 AND end_ms = 0"},
    {"use_token", "UPDATE tokens SET used = true WHERE id = $1 AND NOT used"},
    {"add_cpu",
     "INSERT INTO cpu_scores(token_id, machine, runtime, singlecore, multicore, cores, socname, platform, os, abi, "
     "device, record, body_sm3, reply) VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14) RETURNING id"},
    {"cpu_by_token",
     "SELECT id, token_id, machine, runtime, singlecore, multicore, cores, socname, platform, os, abi, record, "
     "device, body_sm3, reply FROM cpu_scores WHERE token_id = $1 ORDER BY id LIMIT 1"},
    {"best_cpu", "SELECT COALESCE(MAX(singlecore), 0), COALESCE(MAX(multicore), 0) FROM cpu_scores"},
    {"top_single",
     "SELECT id, token_id, machine, runtime, singlecore, multicore, cores, socname, platform, os, abi, record, "
     "device FROM cpu_scores ORDER BY singlecore DESC, id LIMIT $1"},
    {"top_multi",
     "SELECT id, token_id, machine, runtime, singlecore, multicore, cores, socname, platform, os, abi, record, "
     "device FROM cpu_scores ORDER BY multicore DESC, id LIMIT $1"},
    {"disk_digest_taken", "SELECT 1 FROM disk_scores WHERE digest = $1"},
    {"lock_disk_serial", "SELECT pg_advisory_xact_lock(2, hashtext(encode($1::bytea, 'hex')))"},
    {"lock_disk_address", "SELECT pg_advisory_xact_lock(3, hashtext($1))"},
    {"count_disk_serial", "SELECT COUNT(*) FROM disk_scores WHERE serial = $1 AND runtime >= $2"},
    {"count_disk_address", "SELECT COUNT(*) FROM disk_scores WHERE address = $1 AND runtime >= $2"},
    {"add_disk",
     "INSERT INTO disk_scores(runtime, digest, serial, diskname, platform, prefill, writesize, linerbufferwrite, "
     "linernobufferwrite, linerread, fourkwrite, fourkread, mtfourkwrite, mtfourkread, score, address) "
     "VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16) ON CONFLICT (digest) DO NOTHING RETURNING id"},
    {"top_disk",
     "SELECT id, runtime, digest, serial, diskname, platform, prefill, writesize, linerbufferwrite, "
     "linernobufferwrite, linerread, fourkwrite, fourkread, mtfourkwrite, mtfourkread, score FROM disk_scores "
     "ORDER BY score DESC, id LIMIT $1"},
    {"forget_tokens", "DELETE FROM tokens WHERE issued_at < $1"},
};

// Attempts of one operation; transient failures in between get a short, growing pause.
const int kAttempts = 4;

// A failure worth another attempt on a fresh connection.
struct Transient {};

// One statement parameter: text, or raw bytes for a BYTEA column.
struct Param {
  std::string value;
  bool binary = false;
  Param(const std::string& v) : value(v) {}              // NOLINT: implicit by design
  Param(const char* v) : value(v) {}                     // NOLINT
  Param(int64_t v) : value(std::to_string(v)) {}         // NOLINT
  Param(int v) : value(std::to_string(v)) {}             // NOLINT
  Param(double v) {                                      // NOLINT
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    value = text;
  }
};
Param Bytes(const std::string& v) {
  Param p(v);
  p.binary = true;
  return p;
}

bool IsTransientState(const std::string& state) {
  return state == "40001" || state == "40P01" ||       // serialization failure, deadlock
         state.compare(0, 2, "08") == 0 ||              // connection exceptions
         state == "57P01" || state == "57P02" || state == "57P03" ||  // shutdown, crash, starting up
         state == "25006";                              // read-only: a failover left us on a standby
}

// A statement's result, freed with it.
class Result {
 public:
  explicit Result(PGresult* r) : r_(r) {}
  ~Result() { PQclear(r_); }
  Result(Result&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  bool ok() const {
    ExecStatusType s = PQresultStatus(r_);
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
  }
  std::string State() const {
    const char* s = PQresultErrorField(r_, PG_DIAG_SQLSTATE);
    return s ? s : "";
  }
  bool UniqueViolation() const { return State() == "23505"; }
  int Rows() const { return PQntuples(r_); }
  int Affected() const { return std::atoi(PQcmdTuples(r_)); }
  std::string Text(int row, int col) const { return std::string(PQgetvalue(r_, row, col), PQgetlength(r_, row, col)); }
  int64_t Int(int row, int col) const { return std::strtoll(PQgetvalue(r_, row, col), nullptr, 10); }
  double Real(int row, int col) const { return std::strtod(PQgetvalue(r_, row, col), nullptr); }
  bool Bool(int row, int col) const { return PQgetvalue(r_, row, col)[0] == 't'; }
  std::string Bytea(int row, int col) const {
    size_t n = 0;
    unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, col)), &n);
    std::string out = raw ? std::string(reinterpret_cast<char*>(raw), n) : std::string();
    PQfreemem(raw);
    return out;
  }

 private:
  PGresult* r_;
};

// One pooled connection, leased for one operation.
class Connection {
 public:
  explicit Connection(PGconn* c) : c_(c) {}
  ~Connection() { PQfinish(c_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Bad() const { return PQstatus(c_) != CONNECTION_OK; }
  std::string Error() const { return PQerrorMessage(c_); }
  bool prepared = false;

  // Runs a prepared statement. Throws Transient for a failure worth retrying; any other
  // failure comes back in the result (ok() false) for the caller to judge.
  Result Run(const char* name, const std::vector<Param>& params) {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
      values.push_back(p.value.data());
      lengths.push_back(static_cast<int>(p.value.size()));
      formats.push_back(p.binary ? 1 : 0);
    }
    Result r(PQexecPrepared(c_, name, static_cast<int>(params.size()), values.data(), lengths.data(),
                            formats.data(), 0));
    Check(r);
    return r;
  }
  // Runs plain SQL (transaction control, schema changes).
  Result Exec(const char* sql) {
    Result r(PQexec(c_, sql));
    Check(r);
    return r;
  }
  bool Prepare(std::string* error) {
    for (const auto& s : kStatements) {
      Result r(PQprepare(c_, s[0], s[1], 0, nullptr));
      if (!r.ok()) {
        if (error) *error = std::string("cannot prepare ") + s[0] + ": " + PQerrorMessage(c_);
        return false;
      }
    }
    prepared = true;
    return true;
  }
  bool Idle() const { return PQtransactionStatus(c_) == PQTRANS_IDLE; }
  // The server's notices ("already exists, skipping") are not for the service's log.
  void Quiet() { PQsetNoticeProcessor(c_, [](void*, const char*) {}, nullptr); }

 private:
  void Check(const Result& r) {
    if (!r.ok() && (Bad() || IsTransientState(r.State()))) throw Transient{};
  }
  PGconn* c_;
};

// BEGIN on construction; ROLLBACK unless committed.
class Transaction {
 public:
  explicit Transaction(Connection* c) : c_(c) {
    if (!c_->Exec("BEGIN").ok()) throw Transient{};
  }
  ~Transaction() {
    if (open_) {
      try {
        c_->Exec("ROLLBACK");
      } catch (const Transient&) {
      }
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Commit() {
    open_ = false;
    return c_->Exec("COMMIT").ok();  // a commit lost with its connection throws Transient
  }

 private:
  Connection* c_;
  bool open_ = true;
};

std::unique_ptr<Connection> Connect(const std::string& uri, std::string* error) {
  // Defaults the URI may override: a server that does not answer fails the request within
  // seconds instead of holding a request thread for the system's TCP timeout.
  const char* const keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* const values[] = {"5", "sorvanta-service", uri.c_str(), nullptr};
  auto c = std::make_unique<Connection>(PQconnectdbParams(keywords, values, 1));
  if (c->Bad()) {
    if (error) *error = "cannot connect to the store: " + c->Error();
    return nullptr;
  }
  c->Quiet();
  return c;
}

bool Migrate(Connection* c, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = "cannot update the store's schema (" + what + "): " + c->Error();
    return false;
  };
  try {
    // Instances starting together take turns; a session lock is released on disconnect.
    if (!c->Exec("SELECT pg_advisory_lock(4, 0)").ok()) return fail("lock");
    bool ok = c->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, "
                      "applied_at TIMESTAMPTZ NOT NULL DEFAULT now())").ok();
    Result have = c->Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version");
    if (!ok || !have.ok()) return fail("schema_version");
    int64_t current = have.Int(0, 0);
    for (const Migration& m : kMigrations) {
      if (m.version <= current) continue;
      Transaction tx(c);
      std::string record = "INSERT INTO schema_version(version) VALUES(" + std::to_string(m.version) + ")";
      if (!c->Exec(m.sql).ok() || !c->Exec(record.c_str()).ok() || !tx.Commit()) {
        return fail("version " + std::to_string(m.version));
      }
    }
    c->Exec("SELECT pg_advisory_unlock(4, 0)");
  } catch (const Transient&) {
    return fail("connection lost");
  }
  return true;
}

// Connections to one server: up to poolSize, leased one per operation.
class Pool {
 public:
  Pool(std::string uri, int poolSize, int attempts) : uri_(std::move(uri)), poolSize_(poolSize), attempts_(attempts) {}

  void Adopt(std::unique_ptr<Connection> c) {
    std::lock_guard<std::mutex> lock(mu_);
    idle_.push_back(std::move(c));
    ++open_;
  }

  // Runs one operation on a leased connection, again on a fresh connection after a
  // transient failure, at most attempts_ times; then it is the store's error.
  template <typename Op>
  StoreResult Do(Op op) {
    for (int attempt = 0; attempt < attempts_; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt * attempt));
      std::unique_ptr<Connection> c = Lease();
      if (!c) continue;
      try {
        StoreResult result = op(*c);
        Return(std::move(c));
        return result;
      } catch (const Transient&) {
        // A connection lost to a restart or failover means its idle siblings are lost too:
        // they go now, so that the next attempts connect afresh instead of finding them dead.
        if (c->Bad()) DropIdle();
        Return(std::move(c));
      }
    }
    return StoreResult::kError;
  }

 private:
  // A connection from the pool, a new one while fewer than poolSize_ are open; nullptr when
  // the server cannot be reached.
  std::unique_ptr<Connection> Lease() {
    std::unique_lock<std::mutex> lock(mu_);
    ready_.wait(lock, [this] { return !idle_.empty() || open_ < poolSize_; });
    std::unique_ptr<Connection> c;
    if (!idle_.empty()) {
      c = std::move(idle_.back());
      idle_.pop_back();
    } else {
      ++open_;
    }
    lock.unlock();
    if (c && !c->Bad()) return c;
    c = Connect(uri_, nullptr);
    if (c && !c->Prepare(nullptr)) c.reset();
    if (!c) Forget();
    return c;
  }

  // Back to the pool; a broken connection, or one left inside a transaction, is dropped.
  void Return(std::unique_ptr<Connection> c) {
    if (c->Bad() || !c->Idle()) return Forget();
    std::lock_guard<std::mutex> lock(mu_);
    idle_.push_back(std::move(c));
    ready_.notify_one();
  }

  void DropIdle() {
    std::vector<std::unique_ptr<Connection>> dropped;
    std::lock_guard<std::mutex> lock(mu_);
    open_ -= static_cast<int>(idle_.size());
    dropped.swap(idle_);
    ready_.notify_all();
  }

  void Forget() {
    std::lock_guard<std::mutex> lock(mu_);
    --open_;
    ready_.notify_one();
  }

  const std::string uri_;
  const int poolSize_;
  const int attempts_;
  std::mutex mu_;
  std::condition_variable ready_;
  std::vector<std::unique_ptr<Connection>> idle_;
  int open_ = 0;  // leased plus idle
};

class PostgresStore : public Store {
 public:
  PostgresStore(std::unique_ptr<Connection> first, const std::string& uri, const std::string& replicaUri, int poolSize)
      : primary_(uri, poolSize, kAttempts),
        replica_(replicaUri.empty() ? nullptr : std::make_unique<Pool>(replicaUri, poolSize, 1)) {
    primary_.Adopt(std::move(first));
  }

  StoreResult AddToken(const TokenRecord& token, const std::vector<PaperRecord>& papers) override {
    return Do([&](Connection& c) {
      Transaction tx(&c);
      Result t = c.Run("add_token", TokenParams(token));
      if (t.UniqueViolation()) return StoreResult::kConflict;
      if (!t.ok()) return StoreResult::kError;
      int64_t id = t.Int(0, 0);
      for (const PaperRecord& p : papers) {
        Result r = c.Run("add_paper", {p.name, id, p.slot, Bytes(p.seed), p.bytes});
        if (r.UniqueViolation()) return StoreResult::kConflict;
        if (!r.ok()) return StoreResult::kError;
      }
      return tx.Commit() ? StoreResult::kOk : StoreResult::kError;
    });
  }

  StoreResult AddTokenWithin(TokenRecord* token, const TokenLimits& limits) override {
    return Do([&](Connection& c) {
      Transaction tx(&c);
      // Both limits are per address: one lock per address orders concurrent requests
      // from every instance, and each counts what the ones before it inserted.
      if (!c.Run("lock_token_address", {token->address}).ok()) return StoreResult::kError;
      auto reached = [&](const char* statement, std::vector<Param> params, int limit) {
        if (limit <= 0) return false;
        Result r = c.Run(statement, params);
        return !r.ok() || r.Int(0, 0) >= limit;
      };
      if (reached("count_address", {token->address, limits.since}, limits.perAddress) ||
          reached("count_address_machine", {token->address, limits.since, token->machine},
                  limits.perAddressAndMachine)) {
        return StoreResult::kLimited;
      }
      Result t = c.Run("add_token", TokenParams(*token));
      if (t.UniqueViolation()) return StoreResult::kConflict;
      if (!t.ok()) return StoreResult::kError;
      int64_t id = t.Int(0, 0);
      if (!tx.Commit()) return StoreResult::kError;
      token->id = id;
      return StoreResult::kOk;
    });
  }

  std::optional<TokenRecord> FindToken(const std::string& credential) override {
    return Lookup<TokenRecord>("find_token", {credential}, ReadToken);
  }
  std::optional<TokenRecord> FindTokenById(int64_t id) override {
    return Lookup<TokenRecord>("find_token_id", {id}, ReadToken);
  }

  void MarkPapersFetched(int64_t tokenId, int64_t nowMs) override {
    Do([&](Connection& c) { return c.Run("mark_fetched", {nowMs, tokenId}).ok() ? StoreResult::kOk : StoreResult::kError; });
  }

  std::string KeptSecret(const std::string& name) override {
    std::string value;
    Do([&](Connection& c) {
      // The first instance to ask creates it; every other one reads the same value.
      std::string fresh(16, '\0');
      RAND_bytes(reinterpret_cast<unsigned char*>(fresh.data()), static_cast<int>(fresh.size()));
      if (!c.Run("add_secret", {name, Bytes(fresh)}).ok()) return StoreResult::kError;
      Result r = c.Run("find_secret", {name});
      if (!r.ok() || r.Rows() != 1) return StoreResult::kError;
      value = r.Bytea(0, 0);
      return StoreResult::kOk;
    });
    return value;
  }

  int CountTokensSince(const std::string& machine, int64_t since) override {
    int n = 0;
    Do([&](Connection& c) {
      Result r = c.Run("count_machine", {machine, since});
      if (!r.ok()) return StoreResult::kError;
      n = static_cast<int>(r.Int(0, 0));
      return StoreResult::kOk;
    });
    return n;
  }

  std::optional<PaperRecord> FindPaper(const std::string& name) override {
    return Lookup<PaperRecord>("find_paper", {name}, [](const Result& r) {
      PaperRecord p;
      p.name = r.Text(0, 0);
      p.tokenId = r.Int(0, 1);
      p.slot = static_cast<int>(r.Int(0, 2));
      p.seed = r.Bytea(0, 3);
      p.bytes = static_cast<int>(r.Int(0, 4));
      return p;
    });
  }

  StoreResult StartExams(int64_t tokenId, const std::vector<std::string>& papers,
                         const std::vector<std::string>& sm4keys, int64_t startMs,
                         std::vector<ExamRecord>* exams) override {
    exams->clear();
    if (papers.size() != sm4keys.size()) return StoreResult::kError;
    StoreResult result = Do([&](Connection& c) {
      exams->clear();
      Transaction tx(&c);
      for (size_t i = 0; i < papers.size(); ++i) {
        int64_t id = 0;
        // A random id that is taken already is drawn again; a paper started before (here
        // or at another instance) is a conflict.
        for (int attempt = 0; attempt < 16 && id == 0; ++attempt) {
          int64_t candidate = RandomExamId();
          Result r = c.Run("add_exam", {candidate, tokenId, papers[i], sm4keys[i], startMs});
          if (!r.ok()) return StoreResult::kError;
          if (r.Rows() == 1) {
            id = candidate;
            break;
          }
          Result taken = c.Run("exam_paper_taken", {papers[i]});
          if (!taken.ok()) return StoreResult::kError;
          if (taken.Rows() > 0) return StoreResult::kConflict;
        }
        if (id == 0) return StoreResult::kError;
        ExamRecord e;
        e.id = id;
        e.tokenId = tokenId;
        e.paper = papers[i];
        e.sm4key = sm4keys[i];
        e.startMs = startMs;
        exams->push_back(e);
      }
      return tx.Commit() ? StoreResult::kOk : StoreResult::kError;
    });
    if (result != StoreResult::kOk) exams->clear();  // rolled back: none of them started
    return result;
  }

  std::optional<ExamRecord> FindExam(int64_t id) override { return Lookup<ExamRecord>("find_exam", {id}, ReadExam); }
  std::optional<ExamRecord> FindExamByPaper(const std::string& paper) override {
    return Lookup<ExamRecord>("find_exam_paper", {paper}, ReadExam);
  }

  StoreResult EndExam(int64_t id, const std::string& answerSm3, int64_t endMs) override {
    return Do([&](Connection& c) {
      Result r = c.Run("end_exam", {endMs, answerSm3, id});
      if (!r.ok()) return StoreResult::kError;
      return r.Affected() == 1 ? StoreResult::kOk : StoreResult::kConflict;
    });
  }

  StoreResult AddCpuScore(CpuScoreRecord* score) override {
    return Do([&](Connection& c) {
      Transaction tx(&c);
      // The row lock of this update makes a concurrent submission of the same token wait
      // for this one, then find the token used.
      Result u = c.Run("use_token", {score->tokenId});
      if (!u.ok()) return StoreResult::kError;
      if (u.Affected() != 1) return StoreResult::kConflict;
      Result s = c.Run("add_cpu", {score->tokenId, score->machine, score->runtime, score->singlecore,
                                   score->multicore, score->cores, Bytes(score->socname), Bytes(score->platform),
                                   Bytes(score->os), Bytes(score->abi), Bytes(score->device), Bytes(score->record),
                                   score->bodyDigest, Bytes(score->reply)});
      if (!s.ok()) return StoreResult::kError;
      int64_t id = s.Int(0, 0);
      if (!tx.Commit()) return StoreResult::kError;
      score->id = id;
      return StoreResult::kOk;
    });
  }

  std::optional<CpuScoreRecord> FindCpuScoreByToken(int64_t tokenId) override {
    return Lookup<CpuScoreRecord>("cpu_by_token", {tokenId}, [](const Result& r) {
      CpuScoreRecord s = ReadCpuScore(r, 0);
      s.bodyDigest = r.Text(0, 13);
      s.reply = r.Bytea(0, 14);
      return s;
    });
  }

  void BestCpu(int* singlecore, int64_t* multicore) override {
    *singlecore = 0;
    *multicore = 0;
    Do([&](Connection& c) {
      Result r = c.Run("best_cpu", {});
      if (!r.ok() || r.Rows() != 1) return StoreResult::kError;
      *singlecore = static_cast<int>(r.Int(0, 0));
      *multicore = r.Int(0, 1);
      return StoreResult::kOk;
    });
  }

  std::vector<CpuScoreRecord> TopCpu(bool byMulticore, int limit) override {
    std::vector<CpuScoreRecord> out;
    ReadDo([&](Connection& c) {
      out.clear();
      Result r = c.Run(byMulticore ? "top_multi" : "top_single", {limit});
      if (!r.ok()) return StoreResult::kError;
      for (int i = 0; i < r.Rows(); ++i) out.push_back(ReadCpuScore(r, i));
      return StoreResult::kOk;
    });
    return out;
  }

  StoreResult AddDiskScore(DiskScoreRecord* score) override { return AddDiskScoreWithin(score, DiskLimits()); }

  StoreResult AddDiskScoreWithin(DiskScoreRecord* score, const DiskLimits& limits) override {
    return Do([&](Connection& c) {
      Transaction tx(&c);
      Result d = c.Run("disk_digest_taken", {score->digest});
      if (!d.ok()) return StoreResult::kError;
      if (d.Rows() > 0) return StoreResult::kConflict;
      // Always serial before address, so two submissions never wait for each other's lock.
      if ((limits.perSerial > 0 && !c.Run("lock_disk_serial", {Bytes(score->serial)}).ok()) ||
          (limits.perAddress > 0 && !c.Run("lock_disk_address", {score->address}).ok())) {
        return StoreResult::kError;
      }
      auto reached = [&](const char* statement, const Param& key, int limit) {
        if (limit <= 0) return false;
        Result r = c.Run(statement, {key, limits.since});
        return !r.ok() || r.Int(0, 0) >= limit;
      };
      if (reached("count_disk_serial", Bytes(score->serial), limits.perSerial) ||
          reached("count_disk_address", score->address, limits.perAddress)) {
        return StoreResult::kLimited;
      }
      std::vector<Param> p = {score->runtime, score->digest, Bytes(score->serial), Bytes(score->diskname),
                              Bytes(score->platform), score->prefill, score->writesize};
      for (double v : score->speeds) p.emplace_back(v);
      p.emplace_back(score->score);
      p.emplace_back(score->address);
      Result s = c.Run("add_disk", p);
      if (!s.ok()) return StoreResult::kError;
      if (s.Rows() != 1) return StoreResult::kConflict;  // the same digest, committed meanwhile
      int64_t id = s.Int(0, 0);
      if (!tx.Commit()) return StoreResult::kError;
      score->id = id;
      return StoreResult::kOk;
    });
  }

  std::vector<DiskScoreRecord> TopDisk(int limit) override {
    std::vector<DiskScoreRecord> out;
    ReadDo([&](Connection& c) {
      out.clear();
      Result r = c.Run("top_disk", {limit});
      if (!r.ok()) return StoreResult::kError;
      for (int i = 0; i < r.Rows(); ++i) {
        DiskScoreRecord d;
        d.id = r.Int(i, 0);
        d.runtime = r.Int(i, 1);
        d.digest = r.Text(i, 2);
        d.serial = r.Bytea(i, 3);
        d.diskname = r.Bytea(i, 4);
        d.platform = r.Bytea(i, 5);
        d.prefill = static_cast<int>(r.Int(i, 6));
        d.writesize = r.Real(i, 7);
        for (int k = 0; k < 7; ++k) d.speeds[k] = r.Real(i, 8 + k);
        d.score = static_cast<int>(r.Int(i, 15));
        out.push_back(std::move(d));
      }
      return StoreResult::kOk;
    });
    return out;
  }

  void ForgetTokensBefore(int64_t issuedBefore) override {
    // Papers and exams go with their tokens (ON DELETE CASCADE).
    Do([&](Connection& c) { return c.Run("forget_tokens", {issuedBefore}).ok() ? StoreResult::kOk : StoreResult::kError; });
  }

 private:
  static std::vector<Param> TokenParams(const TokenRecord& t) {
    return {t.credential, Bytes(t.key), t.rounds, t.machine, t.cpuCount, t.issuedAt, t.address, Bytes(t.paperSeed),
            t.paperBytes};
  }

  static TokenRecord ReadToken(const Result& r) {
    TokenRecord t;
    t.id = r.Int(0, 0);
    t.credential = r.Text(0, 1);
    t.key = r.Bytea(0, 2);
    t.rounds = static_cast<int>(r.Int(0, 3));
    t.machine = r.Text(0, 4);
    t.cpuCount = static_cast<int>(r.Int(0, 5));
    t.issuedAt = r.Int(0, 6);
    t.used = r.Bool(0, 7);
    t.address = r.Text(0, 8);
    t.paperSeed = r.Bytea(0, 9);
    t.paperBytes = static_cast<int>(r.Int(0, 10));
    t.firstFetchMs = r.Int(0, 11);
    return t;
  }

  static ExamRecord ReadExam(const Result& r) {
    ExamRecord e;
    e.id = r.Int(0, 0);
    e.tokenId = r.Int(0, 1);
    e.paper = r.Text(0, 2);
    e.sm4key = r.Text(0, 3);
    e.startMs = r.Int(0, 4);
    e.endMs = r.Int(0, 5);
    e.answerSm3 = r.Text(0, 6);
    return e;
  }

  static CpuScoreRecord ReadCpuScore(const Result& r, int i) {
    CpuScoreRecord s;
    s.id = r.Int(i, 0);
    s.tokenId = r.Int(i, 1);
    s.machine = r.Text(i, 2);
    s.runtime = r.Int(i, 3);
    s.singlecore = static_cast<int>(r.Int(i, 4));
    s.multicore = r.Int(i, 5);
    s.cores = static_cast<int>(r.Int(i, 6));
    s.socname = r.Bytea(i, 7);
    s.platform = r.Bytea(i, 8);
    s.os = r.Bytea(i, 9);
    s.abi = r.Bytea(i, 10);
    s.record = r.Bytea(i, 11);
    s.device = r.Bytea(i, 12);
    return s;
  }

  // A one-row lookup: nullopt when nothing matches or the store cannot be reached.
  template <typename T, typename Read>
  std::optional<T> Lookup(const char* statement, std::vector<Param> params, Read read) {
    std::optional<T> out;
    Do([&](Connection& c) {
      out.reset();
      Result r = c.Run(statement, params);
      if (!r.ok()) return StoreResult::kError;
      if (r.Rows() > 0) out = read(r);
      return StoreResult::kOk;
    });
    return out;
  }

  // Runs an operation on the primary; a ranking read on the replica when there is one,
  // and on the primary when the replica cannot answer.
  template <typename Op>
  StoreResult Do(Op op) {
    return primary_.Do(op);
  }
  template <typename Op>
  StoreResult ReadDo(Op op) {
    if (replica_ && replica_->Do(op) == StoreResult::kOk) return StoreResult::kOk;
    return primary_.Do(op);
  }

  Pool primary_;
  std::unique_ptr<Pool> replica_;
};

}  // namespace

bool IsPostgresUri(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, int poolSize, std::string* error,
                                         const std::string& replicaUri) {
  std::unique_ptr<Connection> first = Connect(uri, error);
  if (!first) return nullptr;
  if (!Migrate(first.get(), error) || !first->Prepare(error)) return nullptr;
  return std::make_unique<PostgresStore>(std::move(first), uri, replicaUri, std::max(1, poolSize));
}

}  // namespace sorvanta::server
