// The exam worker: one thread that sits one exam paper on one processor.
//
// It pins itself to the coreid-th CPU of the process's affinity set, asks the service
// to start the exam ("sorvanta/startexam"), works the paper in 32-byte blocks until the
// paper ends or the time budget is spent, and tells the service that the exam ended
// ("sorvanta/endexam") with the SM3 digest of its answers. It reports only status lines,
// through the session's CpuEvents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cpubench/cpu_events.h"
#include "cpubench/exam_options.h"

namespace sorvanta::cpubench {

// Paper bytes per answer, and the size of each of the worker's two work buffers.
constexpr size_t kExamBlockSize = 32;
constexpr size_t kExamWorkBufferSize = 1048576;

// One exam paper and what its worker made of it. The session creates it and owns it;
// while a worker runs it is the only one to touch the record, and the session reads it
// only after joining the worker.
struct GM_ExamData {
  std::string token;    // exam credential (Base64), sent as "token" in both requests
  std::string examFile; // paper file name, sent as "examFile", matched against "randFile"
  std::string sm4key;   // hexadecimal block key from the start-exam reply
  std::string paper;    // the downloaded paper, raw bytes (empty when the download failed)
  std::string answers;  // 32 raw bytes (an SM3 digest) per block worked, in block order
  int32_t coreid = 0;   // worker index in its phase; also the CPU it pins itself to
  int32_t id = 0;       // exam id from the start-exam reply; 0 until then
};

// Thread entry of one worker; data->coreid is set by the caller, and data, options and
// events outlive the call. Returns when the worker is done (after the end-exam reply, or
// early after a failed start or self-check).
void ExamWorker(GM_ExamData* data, const CpuExamOptions& options, CpuEvents& events);

// --- Pieces of the worker, exposed for the tests and the benchmark. ---

// The start-exam request body: {"token": ..., "examstart": [{"examFile": ...}]}, styled.
std::string StartExamBody(const GM_ExamData& data);
// Judges a start-exam reply: true when it is a JSON array whose first element with a
// "randFile" equal to data->examFile gives the id and sm4key (stored in data).
bool AcceptStartExamReply(const std::string& reply, GM_ExamData* data);
// The end-exam request body: {"token": ..., "answersm3": <hex SM3 of answers>, "id": id}.
std::string EndExamBody(const GM_ExamData& data);

// Decodes the hexadecimal sm4key into key the way every block does: as many bytes as
// the text holds digit pairs; a text of more than 16 bytes leaves key unchanged.
void DecodeBlockKey(const std::string& sm4key, uint8_t key[16]);

class ExamBlockWorker;

// The timed block loop: works data->paper block by block into data->answers until the
// paper ends or more than budgetMs have passed after a block. Returns the number of
// blocks worked, or -1 after a failed SM4 self-check (the failing block's answer kept).
long WorkExamPaper(GM_ExamData* data, uint32_t budgetMs, ExamBlockWorker* work);

// Work buffers of one worker, allocated once and reused for every block.
class ExamBlockWorker {
 public:
  ExamBlockWorker();
  ~ExamBlockWorker();
  ExamBlockWorker(const ExamBlockWorker&) = delete;
  ExamBlockWorker& operator=(const ExamBlockWorker&) = delete;

  // Works paper block k (32 bytes at block): decodes sm4key, pads the block with zeros to
  // 1 MiB, writes its SM3 digest to answer, and runs the SM4 round trip as a self-check.
  // Returns false when the round trip does not reproduce the buffer.
  bool WorkBlock(const uint8_t* block, const std::string& sm4key, uint8_t answer[32]);

 private:
  uint8_t* a_;
  uint8_t* b_;
  uint8_t key_[16];
};

}  // namespace sorvanta::cpubench
