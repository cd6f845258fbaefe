// The service's persistent state behind one small interface: one SQLite file for a single
// machine, or a PostgreSQL server shared by several service instances.
//
// Every method is safe to call from any number of request threads at once. Methods that
// can fail for a reason the caller must tell apart return a StoreResult; lookups return
// std::nullopt when nothing matches.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvanta::server {

// One issued exam credential ("token").
struct TokenRecord {
  int64_t id = 0;
  std::string credential;  // Base64 text the client sends back
  std::string key;         // 16 raw bytes: SM4 key of the submission
  int rounds = 0;          // encryption rounds of the submission
  std::string machine;     // hex SM3 of the machine identity (rate limit, ranking)
  int cpuCount = 0;        // logical processors: number of multi-core papers
  int64_t issuedAt = 0;    // seconds since the epoch
  bool used = false;       // a score was accepted for it
  std::string address;     // client address it was issued to (IPv6: the /64)
  std::string paperSeed;   // 16 raw bytes every paper of the token derives from; empty for
                           // tokens whose papers are stored one by one
  int paperBytes = 0;      // size of each of its papers
  int64_t firstFetchMs = 0;  // first download of one of its papers (ms since the epoch); 0 = none yet
};

// Limits a new token must fit, counted over tokens issued at or after `since`; 0 = none.
struct TokenLimits {
  int64_t since = 0;
  int perAddressAndMachine = 0;
  int perAddress = 0;
};

// One exam paper; its bytes are regenerated from the seed (see exam_protocol.h).
struct PaperRecord {
  std::string name;   // 32 lower-case hex digits
  int64_t tokenId = 0;
  int slot = 0;       // 0 = single-core paper, 1..cpuCount = multi-core papers in order
  std::string seed;   // 16 raw bytes
  int bytes = 0;
};

struct ExamRecord {
  int64_t id = 0;
  int64_t tokenId = 0;
  std::string paper;
  std::string sm4key;     // 32 hex digits
  int64_t startMs = 0;    // milliseconds since the epoch
  int64_t endMs = 0;      // 0 while the exam runs
  std::string answerSm3;  // 64 lower-case hex digits, set by the end of the exam
};

struct CpuScoreRecord {
  int64_t id = 0;
  int64_t tokenId = 0;
  std::string machine;
  int64_t runtime = 0;        // seconds since the epoch
  int singlecore = 0;
  int64_t multicore = 0;      // sum of the core values
  int cores = 0;
  std::string socname;        // device fields as the client sent them
  std::string platform;       // BRAND + " " + MODEL
  std::string os;             // RELEASE
  std::string abi;            // CPU_ABI
  std::string device;         // all nine device fields as a JSON object
  std::string record;         // the JSON history record returned to the client
  std::string bodyDigest;     // SM3 hex of the submission body: a repeat gets the same reply
  std::string reply;          // the whole reply text sent for it
};

struct DiskScoreRecord {
  int64_t id = 0;
  int64_t runtime = 0;
  std::string digest;         // SM3 hex of the serial and the result (replay guard)
  std::string address;        // client address it came from (IPv6: the /64)
  std::string serial;
  std::string diskname;
  std::string platform;
  int prefill = 0;
  double writesize = 0;
  double speeds[7] = {};      // linerbufferwrite .. mtfourkread, in the submission's order
  int score = 0;
};

struct DiskLimits {
  int64_t since = 0;
  int perSerial = 0;
  int perAddress = 0;
};

enum class StoreResult { kOk, kConflict, kLimited, kError };

class Store {
 public:
  virtual ~Store() = default;

  // Stores a token with all its papers, atomically.
  virtual StoreResult AddToken(const TokenRecord& token, const std::vector<PaperRecord>& papers) = 0;
  // Stores a token (papers derived from its seed, none stored) if the limits allow,
  // counting and inserting in one transaction so concurrent requests cannot overshoot.
  // kLimited when a limit is reached. Sets token->id.
  virtual StoreResult AddTokenWithin(TokenRecord* token, const TokenLimits& limits) = 0;
  virtual std::optional<TokenRecord> FindToken(const std::string& credential) = 0;
  virtual std::optional<TokenRecord> FindTokenById(int64_t id) = 0;
  // Records the first paper download of a token; later calls change nothing.
  virtual void MarkPapersFetched(int64_t tokenId, int64_t nowMs) = 0;
  // A random 16-byte value kept under the given name, created on first use.
  virtual std::string KeptSecret(const std::string& name) = 0;
  // Tokens issued to machine at or after the given time.
  virtual int CountTokensSince(const std::string& machine, int64_t since) = 0;
  virtual std::optional<PaperRecord> FindPaper(const std::string& name) = 0;

  // Starts the exams of the given papers of one token, all or none. kConflict when any of
  // them was started before. On kOk, *exams holds the new exams in the order given; their
  // ids are random in 1..2^31-1, so they fit the client's 32-bit integers.
  virtual StoreResult StartExams(int64_t tokenId, const std::vector<std::string>& papers,
                                 const std::vector<std::string>& sm4keys, int64_t startMs,
                                 std::vector<ExamRecord>* exams) = 0;
  virtual std::optional<ExamRecord> FindExam(int64_t id) = 0;
  virtual std::optional<ExamRecord> FindExamByPaper(const std::string& paper) = 0;
  // Ends a running exam. kConflict when it had already ended.
  virtual StoreResult EndExam(int64_t id, const std::string& answerSm3, int64_t endMs) = 0;

  // Marks the token used and stores the score, atomically. kConflict when the token was
  // used already (a replayed submission). Sets score->id.
  virtual StoreResult AddCpuScore(CpuScoreRecord* score) = 0;
  virtual std::optional<CpuScoreRecord> FindCpuScoreByToken(int64_t tokenId) = 0;
  // Highest single-core score and highest multi-core total stored so far (0 when none).
  virtual void BestCpu(int* singlecore, int64_t* multicore) = 0;
  // Best first; byMulticore orders by the multi-core total instead of the single-core score.
  virtual std::vector<CpuScoreRecord> TopCpu(bool byMulticore, int limit) = 0;

  // kConflict when a submission with the same digest was stored before.
  virtual StoreResult AddDiskScore(DiskScoreRecord* score) = 0;
  // The same, but kLimited when the serial or the address has reached its count of scores
  // stored at or after limits.since (0 = no limit); counted and stored atomically.
  virtual StoreResult AddDiskScoreWithin(DiskScoreRecord* score, const DiskLimits& limits) = 0;
  virtual std::vector<DiskScoreRecord> TopDisk(int limit) = 0;

  // Forgets tokens issued before the given time, with their papers and exams. Scores stay.
  virtual void ForgetTokensBefore(int64_t issuedBefore) = 0;
};

// The SQLite store: one file, created with its tables when missing. nullptr and *error
// when the file cannot be opened or set up.
std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error);
// syncEveryCommit false trades durability of the last commits on power loss for speed.
std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error, bool syncEveryCommit);

// The PostgreSQL store at a libpq URI (postgresql://...): applies the schema's migrations,
// then serves from a pool of up to poolSize connections. nullptr and *error when the server
// cannot be reached or the schema cannot be brought up to date. With replicaUri (a streaming
// replica), the ranking reads go there first and to the primary when it cannot answer.
std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, int poolSize, std::string* error,
                                         const std::string& replicaUri = "");
// True for a text that names a PostgreSQL store rather than a file.
bool IsPostgresUri(const std::string& text);

// A random exam id in 1..2^31-1: within the client's signed 32-bit integers however many
// exams were ever held, and not to be guessed from one another.
int64_t RandomExamId();

}  // namespace sorvanta::server
