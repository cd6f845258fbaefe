#include "service/disk_score.h"

#include "service/requests.h"

namespace sorvanta {

std::string PostDiskSubmission(const DiskSubmission& s) {
  std::string body = DiskSubmissionBody(s, ClientTag());
  if (body.empty()) return {};
  return ServicePostText(ServiceUrl("sorvanta/diskbench"), body);
}

}  // namespace sorvanta
