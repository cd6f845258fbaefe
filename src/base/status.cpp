#include "base/status.h"

#include <cerrno>
#include <cstring>

namespace sorvanta {

Status Status::Error(StatusCode code, std::string message, int errnoValue) {
  Status status;
  status.code_ = code == StatusCode::kOk ? StatusCode::kFailed : code;
  status.errno_ = errnoValue;
  status.message_ = std::move(message);
  return status;
}

Status Status::Error(StatusCode code, const Message& message, int errnoValue) {
  Status status = Error(code, message.shown, errnoValue);
  status.source_ = message.source;
  return status;
}

Status Status::FromErrno(int errnoValue, const std::string& what) {
  if (errnoValue == 0) errnoValue = EIO;
  return Error(CodeFromErrno(errnoValue), what + ": " + std::strerror(errnoValue), errnoValue);
}

StatusCode CodeFromErrno(int errnoValue) {
  switch (errnoValue) {
    case 0: return StatusCode::kOk;
    case ENOENT:
    case ENOTDIR: return StatusCode::kNotFound;
    case EEXIST: return StatusCode::kAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS: return StatusCode::kPermissionDenied;
    case ENOSPC:
    case EDQUOT: return StatusCode::kNoSpace;
    case EOPNOTSUPP:
    case ENOSYS: return StatusCode::kUnsupported;
    case EINVAL: return StatusCode::kInvalidArgument;
    default: return StatusCode::kIoError;
  }
}

}  // namespace sorvanta
