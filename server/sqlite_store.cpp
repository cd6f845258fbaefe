// Store over one SQLite file. One connection guarded by a mutex: the service's statements
// are short, and serialising them keeps every multi-statement change atomic.
#include <sqlite3.h>

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdlib>
#include <mutex>
#include <string>

#include "server/store.h"

namespace sorvanta::server {
namespace {

const char* const kSchema = R"sql(
PRAGMA journal_mode=WAL;
PRAGMA foreign_keys=ON;
CREATE TABLE IF NOT EXISTS tokens (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  credential TEXT NOT NULL UNIQUE,
  key BLOB NOT NULL,
  rounds INTEGER NOT NULL,
  machine TEXT NOT NULL,
  cpu_count INTEGER NOT NULL,
  issued_at INTEGER NOT NULL,
  used INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS tokens_machine ON tokens(machine, issued_at);
CREATE INDEX IF NOT EXISTS tokens_issued ON tokens(issued_at);
CREATE TABLE IF NOT EXISTS papers (
  name TEXT PRIMARY KEY,
  token_id INTEGER NOT NULL REFERENCES tokens(id) ON DELETE CASCADE,
  slot INTEGER NOT NULL,
  seed BLOB NOT NULL,
  bytes INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS papers_token ON papers(token_id);
CREATE TABLE IF NOT EXISTS exams (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  token_id INTEGER NOT NULL REFERENCES tokens(id) ON DELETE CASCADE,
  paper TEXT NOT NULL UNIQUE,
  sm4key TEXT NOT NULL,
  start_ms INTEGER NOT NULL,
  end_ms INTEGER NOT NULL DEFAULT 0,
  answer_sm3 TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS exams_token ON exams(token_id);
CREATE TABLE IF NOT EXISTS cpu_scores (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  token_id INTEGER NOT NULL,
  machine TEXT NOT NULL,
  runtime INTEGER NOT NULL,
  singlecore INTEGER NOT NULL,
  multicore INTEGER NOT NULL,
  cores INTEGER NOT NULL,
  socname TEXT NOT NULL,
  platform TEXT NOT NULL,
  os TEXT NOT NULL,
  abi TEXT NOT NULL,
  device TEXT NOT NULL,
  record TEXT NOT NULL,
  body_sm3 TEXT NOT NULL DEFAULT '',
  reply TEXT NOT NULL DEFAULT '');

CREATE INDEX IF NOT EXISTS cpu_single ON cpu_scores(singlecore DESC);
CREATE INDEX IF NOT EXISTS cpu_multi ON cpu_scores(multicore DESC);
CREATE TABLE IF NOT EXISTS disk_scores (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  runtime INTEGER NOT NULL,
  digest TEXT NOT NULL UNIQUE,
  serial TEXT NOT NULL,
  diskname TEXT NOT NULL,
  platform TEXT NOT NULL,
  prefill INTEGER NOT NULL,
  writesize REAL NOT NULL,
  linerbufferwrite REAL NOT NULL,
  linernobufferwrite REAL NOT NULL,
  linerread REAL NOT NULL,
  fourkwrite REAL NOT NULL,
  fourkread REAL NOT NULL,
  mtfourkwrite REAL NOT NULL,
  mtfourkread REAL NOT NULL,
  score INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS disk_score ON disk_scores(score DESC);
CREATE TABLE IF NOT EXISTS secrets (
  name TEXT PRIMARY KEY,
  value BLOB NOT NULL);
)sql";

// A prepared statement that finalizes itself; binds are 1-based like SQLite's.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return ok_; }
  Stmt& Bind(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); return *this; }
  Stmt& Bind(int i, int v) { sqlite3_bind_int64(s_, i, v); return *this; }
  Stmt& Bind(int i, double v) { sqlite3_bind_double(s_, i, v); return *this; }
  Stmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& BindBlob(int i, const std::string& v) {
    sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return ok_ ? sqlite3_step(s_) : SQLITE_ERROR; }
  void Reset() { sqlite3_reset(s_); sqlite3_clear_bindings(s_); }
  int64_t Int(int col) { return sqlite3_column_int64(s_, col); }
  double Real(int col) { return sqlite3_column_double(s_, col); }
  std::string Text(int col) {
    const void* p = sqlite3_column_blob(s_, col);
    int n = sqlite3_column_bytes(s_, col);
    return p ? std::string(static_cast<const char*>(p), n) : std::string();
  }

 private:
  sqlite3_stmt* s_ = nullptr;
  bool ok_ = false;
};

// Adds a column that databases made by an older release lack.
bool EnsureColumn(sqlite3* db, const char* table, const char* column, const char* declaration) {
  std::string probe = std::string("SELECT ") + column + " FROM " + table + " LIMIT 0";
  sqlite3_stmt* s = nullptr;
  bool present = sqlite3_prepare_v2(db, probe.c_str(), -1, &s, nullptr) == SQLITE_OK;
  sqlite3_finalize(s);
  if (present) return true;
  std::string alter = std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + declaration;
  return sqlite3_exec(db, alter.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

class SqliteStore : public Store {
 public:
  explicit SqliteStore(sqlite3* db) : db_(db) {}
  ~SqliteStore() override { sqlite3_close_v2(db_); }

  StoreResult AddToken(const TokenRecord& token, const std::vector<PaperRecord>& papers) override {
    std::lock_guard<std::mutex> lock(mu_);
    Transaction tx(db_);
    Stmt t(db_, "INSERT INTO tokens(credential, key, rounds, machine, cpu_count, issued_at) "
                "VALUES(?,?,?,?,?,?)");
    t.Bind(1, token.credential).BindBlob(2, token.key).Bind(3, token.rounds).Bind(4, token.machine)
        .Bind(5, token.cpuCount).Bind(6, token.issuedAt);
    int rc = t.Step();
    if (rc == SQLITE_CONSTRAINT) return StoreResult::kConflict;
    if (rc != SQLITE_DONE) return StoreResult::kError;
    int64_t id = sqlite3_last_insert_rowid(db_);
    Stmt p(db_, "INSERT INTO papers(name, token_id, slot, seed, bytes) VALUES(?,?,?,?,?)");
    for (const PaperRecord& paper : papers) {
      p.Reset();
      p.Bind(1, paper.name).Bind(2, id).Bind(3, paper.slot).BindBlob(4, paper.seed).Bind(5, paper.bytes);
      rc = p.Step();
      if (rc == SQLITE_CONSTRAINT) return StoreResult::kConflict;
      if (rc != SQLITE_DONE) return StoreResult::kError;
    }
    return tx.Commit() ? StoreResult::kOk : StoreResult::kError;
  }

  StoreResult AddTokenWithin(TokenRecord* token, const TokenLimits& limits) override {
    std::lock_guard<std::mutex> lock(mu_);
    Transaction tx(db_);
    auto count = [this, &limits](const char* sql, const TokenRecord& t, bool byMachine) {
      Stmt c(db_, sql);
      c.Bind(1, t.address).Bind(2, limits.since);
      if (byMachine) c.Bind(3, t.machine);
      return c.Step() == SQLITE_ROW ? c.Int(0) : INT64_MAX;
    };
    if (limits.perAddress > 0 &&
        count("SELECT COUNT(*) FROM tokens WHERE address = ? AND issued_at >= ?", *token, false) >=
            limits.perAddress) {
      return StoreResult::kLimited;
    }
    if (limits.perAddressAndMachine > 0 &&
        count("SELECT COUNT(*) FROM tokens WHERE address = ? AND issued_at >= ? AND machine = ?", *token, true) >=
            limits.perAddressAndMachine) {
      return StoreResult::kLimited;
    }
    Stmt t(db_, "INSERT INTO tokens(credential, key, rounds, machine, cpu_count, issued_at, address, paper_seed, "
                "paper_bytes) VALUES(?,?,?,?,?,?,?,?,?)");
    t.Bind(1, token->credential).BindBlob(2, token->key).Bind(3, token->rounds).Bind(4, token->machine)
        .Bind(5, token->cpuCount).Bind(6, token->issuedAt).Bind(7, token->address).BindBlob(8, token->paperSeed)
        .Bind(9, token->paperBytes);
    int rc = t.Step();
    if (rc == SQLITE_CONSTRAINT) return StoreResult::kConflict;
    if (rc != SQLITE_DONE) return StoreResult::kError;
    token->id = sqlite3_last_insert_rowid(db_);
    return tx.Commit() ? StoreResult::kOk : StoreResult::kError;
  }

  std::optional<TokenRecord> FindToken(const std::string& credential) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT id, credential, key, rounds, machine, cpu_count, issued_at, used, address, paper_seed, "
                "paper_bytes, first_fetch_ms FROM tokens WHERE credential = ?");
    s.Bind(1, credential);
    return ReadToken(s);
  }

  std::optional<TokenRecord> FindTokenById(int64_t id) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT id, credential, key, rounds, machine, cpu_count, issued_at, used, address, paper_seed, "
                "paper_bytes, first_fetch_ms FROM tokens WHERE id = ?");
    s.Bind(1, id);
    return ReadToken(s);
  }

  static std::optional<TokenRecord> ReadToken(Stmt& s) {
    if (s.Step() != SQLITE_ROW) return std::nullopt;
    TokenRecord t;
    t.id = s.Int(0);
    t.credential = s.Text(1);
    t.key = s.Text(2);
    t.rounds = static_cast<int>(s.Int(3));
    t.machine = s.Text(4);
    t.cpuCount = static_cast<int>(s.Int(5));
    t.issuedAt = s.Int(6);
    t.used = s.Int(7) != 0;
    t.address = s.Text(8);
    t.paperSeed = s.Text(9);
    t.paperBytes = static_cast<int>(s.Int(10));
    t.firstFetchMs = s.Int(11);
    return t;
  }

  void MarkPapersFetched(int64_t tokenId, int64_t nowMs) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "UPDATE tokens SET first_fetch_ms = ? WHERE id = ? AND first_fetch_ms = 0");
    s.Bind(1, nowMs).Bind(2, tokenId);
    s.Step();
  }

  std::string KeptSecret(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT value FROM secrets WHERE name = ?");
    s.Bind(1, name);
    if (s.Step() == SQLITE_ROW) return s.Text(0);
    std::string value(16, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(value.data()), static_cast<int>(value.size()));
    Stmt insert(db_, "INSERT INTO secrets(name, value) VALUES(?,?)");
    insert.Bind(1, name).BindBlob(2, value);
    return insert.Step() == SQLITE_DONE ? value : std::string();
  }

  int CountTokensSince(const std::string& machine, int64_t since) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT COUNT(*) FROM tokens WHERE machine = ? AND issued_at >= ?");
    s.Bind(1, machine).Bind(2, since);
    return s.Step() == SQLITE_ROW ? static_cast<int>(s.Int(0)) : 0;
  }

  std::optional<PaperRecord> FindPaper(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT name, token_id, slot, seed, bytes FROM papers WHERE name = ?");
    s.Bind(1, name);
    if (s.Step() != SQLITE_ROW) return std::nullopt;
    PaperRecord p;
    p.name = s.Text(0);
    p.tokenId = s.Int(1);
    p.slot = static_cast<int>(s.Int(2));
    p.seed = s.Text(3);
    p.bytes = static_cast<int>(s.Int(4));
    return p;
  }

  StoreResult StartExams(int64_t tokenId, const std::vector<std::string>& papers,
                         const std::vector<std::string>& sm4keys, int64_t startMs,
                         std::vector<ExamRecord>* exams) override {
    std::lock_guard<std::mutex> lock(mu_);
    exams->clear();
    if (papers.size() != sm4keys.size()) return StoreResult::kError;
    Transaction tx(db_);
    Stmt s(db_, "INSERT INTO exams(id, token_id, paper, sm4key, start_ms) VALUES(?,?,?,?,?)");
    for (size_t i = 0; i < papers.size(); ++i) {
      int rc = SQLITE_ERROR;
      int64_t id = 0;
      // A random id that is taken already is drawn again; a paper started before is a conflict.
      for (int attempt = 0; attempt < 16; ++attempt) {
        id = RandomExamId();
        s.Reset();
        s.Bind(1, id).Bind(2, tokenId).Bind(3, papers[i]).Bind(4, sm4keys[i]).Bind(5, startMs);
        rc = s.Step();
        if (rc != SQLITE_CONSTRAINT || sqlite3_extended_errcode(db_) != SQLITE_CONSTRAINT_PRIMARYKEY) break;
      }
      if (rc != SQLITE_DONE) {
        exams->clear();  // the transaction rolls back: none of them started
        return rc == SQLITE_CONSTRAINT ? StoreResult::kConflict : StoreResult::kError;
      }
      ExamRecord e;
      e.id = id;
      e.tokenId = tokenId;
      e.paper = papers[i];
      e.sm4key = sm4keys[i];
      e.startMs = startMs;
      exams->push_back(e);
    }
    if (!tx.Commit()) {
      exams->clear();
      return StoreResult::kError;
    }
    return StoreResult::kOk;
  }

  std::optional<ExamRecord> FindExam(int64_t id) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT id, token_id, paper, sm4key, start_ms, end_ms, answer_sm3 FROM exams WHERE id = ?");
    s.Bind(1, id);
    return ReadExam(s);
  }

  std::optional<ExamRecord> FindExamByPaper(const std::string& paper) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT id, token_id, paper, sm4key, start_ms, end_ms, answer_sm3 FROM exams WHERE paper = ?");
    s.Bind(1, paper);
    return ReadExam(s);
  }

  static std::optional<ExamRecord> ReadExam(Stmt& s) {
    if (s.Step() != SQLITE_ROW) return std::nullopt;
    ExamRecord e;
    e.id = s.Int(0);
    e.tokenId = s.Int(1);
    e.paper = s.Text(2);
    e.sm4key = s.Text(3);
    e.startMs = s.Int(4);
    e.endMs = s.Int(5);
    e.answerSm3 = s.Text(6);
    return e;
  }

  StoreResult EndExam(int64_t id, const std::string& answerSm3, int64_t endMs) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "UPDATE exams SET end_ms = ?, answer_sm3 = ? WHERE id = ? AND end_ms = 0");
    s.Bind(1, endMs).Bind(2, answerSm3).Bind(3, id);
    if (s.Step() != SQLITE_DONE) return StoreResult::kError;
    return sqlite3_changes(db_) == 1 ? StoreResult::kOk : StoreResult::kConflict;
  }

  StoreResult AddCpuScore(CpuScoreRecord* score) override {
    std::lock_guard<std::mutex> lock(mu_);
    Transaction tx(db_);
    Stmt u(db_, "UPDATE tokens SET used = 1 WHERE id = ? AND used = 0");
    u.Bind(1, score->tokenId);
    if (u.Step() != SQLITE_DONE) return StoreResult::kError;
    if (sqlite3_changes(db_) != 1) return StoreResult::kConflict;
    Stmt s(db_, "INSERT INTO cpu_scores(token_id, machine, runtime, singlecore, multicore, cores, "
                "socname, platform, os, abi, device, record, body_sm3, reply) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.Bind(1, score->tokenId).Bind(2, score->machine).Bind(3, score->runtime).Bind(4, score->singlecore)
        .Bind(5, score->multicore).Bind(6, score->cores).Bind(7, score->socname).Bind(8, score->platform)
        .Bind(9, score->os).Bind(10, score->abi).Bind(11, score->device).Bind(12, score->record)
        .Bind(13, score->bodyDigest).Bind(14, score->reply);
    if (s.Step() != SQLITE_DONE) return StoreResult::kError;
    score->id = sqlite3_last_insert_rowid(db_);
    return tx.Commit() ? StoreResult::kOk : StoreResult::kError;
  }

  std::optional<CpuScoreRecord> FindCpuScoreByToken(int64_t tokenId) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT id, token_id, machine, runtime, singlecore, multicore, cores, socname, platform, "
                "os, abi, record, device, body_sm3, reply FROM cpu_scores WHERE token_id = ? ORDER BY id LIMIT 1");
    s.Bind(1, tokenId);
    if (s.Step() != SQLITE_ROW) return std::nullopt;
    CpuScoreRecord r = ReadCpuScore(s);
    r.bodyDigest = s.Text(13);
    r.reply = s.Text(14);
    return r;
  }

  static CpuScoreRecord ReadCpuScore(Stmt& s) {
    CpuScoreRecord r;
    r.id = s.Int(0);
    r.tokenId = s.Int(1);
    r.machine = s.Text(2);
    r.runtime = s.Int(3);
    r.singlecore = static_cast<int>(s.Int(4));
    r.multicore = s.Int(5);
    r.cores = static_cast<int>(s.Int(6));
    r.socname = s.Text(7);
    r.platform = s.Text(8);
    r.os = s.Text(9);
    r.abi = s.Text(10);
    r.record = s.Text(11);
    r.device = s.Text(12);
    return r;
  }

  void BestCpu(int* singlecore, int64_t* multicore) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT COALESCE(MAX(singlecore), 0), COALESCE(MAX(multicore), 0) FROM cpu_scores");
    *singlecore = 0;
    *multicore = 0;
    if (s.Step() == SQLITE_ROW) {
      *singlecore = static_cast<int>(s.Int(0));
      *multicore = s.Int(1);
    }
  }

  std::vector<CpuScoreRecord> TopCpu(bool byMulticore, int limit) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, byMulticore
                    ? "SELECT id, token_id, machine, runtime, singlecore, multicore, cores, socname, platform, "
                      "os, abi, record, device FROM cpu_scores ORDER BY multicore DESC, id LIMIT ?"
                    : "SELECT id, token_id, machine, runtime, singlecore, multicore, cores, socname, platform, "
                      "os, abi, record, device FROM cpu_scores ORDER BY singlecore DESC, id LIMIT ?");
    s.Bind(1, limit);
    std::vector<CpuScoreRecord> out;
    while (s.Step() == SQLITE_ROW) out.push_back(ReadCpuScore(s));
    return out;
  }

  StoreResult AddDiskScore(DiskScoreRecord* score) override { return AddDiskScoreWithin(score, DiskLimits()); }

  StoreResult AddDiskScoreWithin(DiskScoreRecord* score, const DiskLimits& limits) override {
    std::lock_guard<std::mutex> lock(mu_);
    Transaction tx(db_);
    auto reached = [this, &limits](const char* sql, const std::string& key, int limit) {
      if (limit <= 0) return false;
      Stmt c(db_, sql);
      c.Bind(1, key).Bind(2, limits.since);
      return c.Step() != SQLITE_ROW || c.Int(0) >= limit;
    };
    Stmt d(db_, "SELECT 1 FROM disk_scores WHERE digest = ?");
    d.Bind(1, score->digest);
    if (d.Step() == SQLITE_ROW) return StoreResult::kConflict;
    if (reached("SELECT COUNT(*) FROM disk_scores WHERE serial = ? AND runtime >= ?", score->serial,
                limits.perSerial) ||
        reached("SELECT COUNT(*) FROM disk_scores WHERE address = ? AND runtime >= ?", score->address,
                limits.perAddress)) {
      return StoreResult::kLimited;
    }
    Stmt s(db_, "INSERT INTO disk_scores(runtime, digest, serial, diskname, platform, prefill, writesize, "
                "linerbufferwrite, linernobufferwrite, linerread, fourkwrite, fourkread, mtfourkwrite, "
                "mtfourkread, score, address) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.Bind(1, score->runtime).Bind(2, score->digest).Bind(3, score->serial).Bind(4, score->diskname)
        .Bind(5, score->platform).Bind(6, score->prefill).Bind(7, score->writesize);
    for (int i = 0; i < 7; ++i) s.Bind(8 + i, score->speeds[i]);
    s.Bind(15, score->score).Bind(16, score->address);
    int rc = s.Step();
    if (rc == SQLITE_CONSTRAINT) return StoreResult::kConflict;
    if (rc != SQLITE_DONE) return StoreResult::kError;
    score->id = sqlite3_last_insert_rowid(db_);
    return tx.Commit() ? StoreResult::kOk : StoreResult::kError;
  }

  std::vector<DiskScoreRecord> TopDisk(int limit) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "SELECT id, runtime, digest, serial, diskname, platform, prefill, writesize, "
                "linerbufferwrite, linernobufferwrite, linerread, fourkwrite, fourkread, mtfourkwrite, "
                "mtfourkread, score FROM disk_scores ORDER BY score DESC, id LIMIT ?");
    s.Bind(1, limit);
    std::vector<DiskScoreRecord> out;
    while (s.Step() == SQLITE_ROW) {
      DiskScoreRecord r;
      r.id = s.Int(0);
      r.runtime = s.Int(1);
      r.digest = s.Text(2);
      r.serial = s.Text(3);
      r.diskname = s.Text(4);
      r.platform = s.Text(5);
      r.prefill = static_cast<int>(s.Int(6));
      r.writesize = s.Real(7);
      for (int i = 0; i < 7; ++i) r.speeds[i] = s.Real(8 + i);
      r.score = static_cast<int>(s.Int(15));
      out.push_back(std::move(r));
    }
    return out;
  }

  void ForgetTokensBefore(int64_t issuedBefore) override {
    std::lock_guard<std::mutex> lock(mu_);
    Stmt s(db_, "DELETE FROM tokens WHERE issued_at < ?");  // papers and exams cascade
    s.Bind(1, issuedBefore);
    s.Step();
  }

 private:
  // BEGIN IMMEDIATE on construction; rolls back unless committed.
  class Transaction {
   public:
    explicit Transaction(sqlite3* db) : db_(db) {
      open_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
      if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool Commit() {
      if (!open_) return false;
      open_ = false;
      return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }

   private:
    sqlite3* db_;
    bool open_;
  };

  std::mutex mu_;
  sqlite3* db_;
};

}  // namespace

int64_t RandomExamId() {
  uint32_t v = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1) v = static_cast<uint32_t>(std::rand());
  v &= 0x7FFFFFFFu;
  return v == 0 ? 1 : v;
}

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error) {
  return OpenSqliteStore(path, error, true);
}

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error, bool syncEveryCommit) {
  // The file holds every live token's key: it is created readable by the owner only, and
  // SQLite gives its WAL and shared-memory files the database file's mode.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error) *error = "cannot open database " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  ::fchmod(fd, 0600);  // a file from an older release may be wider open
  ::close(fd);
  for (const char* suffix : {"-wal", "-shm"}) ::chmod((path + suffix).c_str(), 0600);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = "cannot open database " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  char* message = nullptr;
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
    if (error) *error = "cannot set up database " + path + ": " + (message ? message : "unknown error");
    sqlite3_free(message);
    sqlite3_close_v2(db);
    return nullptr;
  }
  // FULL syncs the WAL at every commit, so an acknowledged score survives a power loss;
  // NORMAL syncs only at checkpoints.
  if (sqlite3_exec(db, syncEveryCommit ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", nullptr, nullptr,
                   nullptr) != SQLITE_OK ||
      !EnsureColumn(db, "cpu_scores", "body_sm3", "TEXT NOT NULL DEFAULT ''") ||
      !EnsureColumn(db, "tokens", "address", "TEXT NOT NULL DEFAULT ''") ||
      !EnsureColumn(db, "disk_scores", "address", "TEXT NOT NULL DEFAULT ''") ||
      sqlite3_exec(db,
                   "CREATE INDEX IF NOT EXISTS disk_serial ON disk_scores(serial, runtime);"
                   "CREATE INDEX IF NOT EXISTS disk_address ON disk_scores(address, runtime)",
                   nullptr, nullptr, nullptr) != SQLITE_OK ||
      !EnsureColumn(db, "tokens", "paper_seed", "BLOB NOT NULL DEFAULT x''") ||
      !EnsureColumn(db, "tokens", "paper_bytes", "INTEGER NOT NULL DEFAULT 0") ||
      !EnsureColumn(db, "tokens", "first_fetch_ms", "INTEGER NOT NULL DEFAULT 0") ||
      sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS tokens_address ON tokens(address, issued_at)", nullptr, nullptr,
                   nullptr) != SQLITE_OK ||
      !EnsureColumn(db, "cpu_scores", "reply", "TEXT NOT NULL DEFAULT ''") ||
      sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS cpu_token ON cpu_scores(token_id)", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    if (error) *error = "cannot update database " + path + ": " + sqlite3_errmsg(db);
    sqlite3_close_v2(db);
    return nullptr;
  }
  return std::make_unique<SqliteStore>(db);
}

}  // namespace sorvanta::server
