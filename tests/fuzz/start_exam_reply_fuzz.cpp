// The start-exam reply as the exam worker reads it, straight from the network.
#include "cpubench/exam_worker.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sorvanta::cpubench::GM_ExamData exam;
  exam.examFile = "paper_1.bin";
  const bool accepted = sorvanta::cpubench::AcceptStartExamReply(sorvanta::fuzz::Text(data, size), &exam);
  // A refused reply leaves the record untouched.
  if (!accepted) sorvanta::fuzz::Require(exam.id == 0 && exam.sm4key.empty());
  uint8_t key[16] = {};
  sorvanta::cpubench::DecodeBlockKey(exam.sm4key, key);
  return 0;
}
