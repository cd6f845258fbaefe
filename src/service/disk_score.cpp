#include "service/disk_score.h"

#include "service/requests.h"

namespace sorvanta {

Result<std::string> PostDiskSubmission(const DiskSubmission& s) {
  std::string body = DiskSubmissionBody(s, ClientTag());
  if (body.empty()) return Status::Error(StatusCode::kInvalidArgument, "no request body: the serial gives no key or the row is too long");
  return ServicePostText(ServiceUrl("sorvanta/diskbench"), body);
}

}  // namespace sorvanta
