// The one way failures cross a module boundary: a Status says whether an operation worked
// and, when it did not, why (a code to branch on, the errno behind it when there is one, and
// a message for the log or the user); a Result<T> is a value or the Status of its failure.
// Plain values, no exceptions: copy them, keep them, hand them to any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "base/language.h"

namespace sorvanta {

// The kinds of failure callers tell apart. Anything finer lives in the errno and message.
enum class StatusCode {
  kOk = 0,
  kInvalidArgument,   // EINVAL, or a request that is unusable (an empty address, a body that cannot be built)
  kNotFound,          // ENOENT: the file, folder or device is not there
  kAlreadyExists,     // EEXIST: the name is taken
  kPermissionDenied,  // EACCES, EPERM, EROFS: not allowed to do this here
  kNoSpace,           // ENOSPC, EDQUOT: the medium or the quota is full
  kUnsupported,       // EOPNOTSUPP, ENOSYS: this file system or system cannot do it
  kIoError,           // any other failure of the operating system
  kUnreachable,       // no connection to the peer (name not resolved, connection refused)
  kTimedOut,          // the peer did not finish in time
  kUntrusted,         // the peer could not be verified, or the address does not speak https
  kTooLarge,          // the reply grew past its limit
  kTransferFailed,    // any other failed transfer (cut short, too many redirects, bad reply)
  kFailed,            // a step that reports no reason of its own failed (an external program)
};

class Status {
 public:
  // Success.
  Status() = default;
  static Status Ok() { return Status(); }
  // A failure of the given kind; code must not be kOk (it is taken as kFailed then).
  static Status Error(StatusCode code, std::string message, int errnoValue = 0);
  // The same, for a message written for people in the run's language (message()) whose
  // Chinese source (sourceMessage()) is what --json output keeps in every language.
  static Status Error(StatusCode code, const Message& message, int errnoValue = 0);
  // A failure from an errno: the code follows the errno, the message is
  // "<what>: <strerror(errnoValue)>". errnoValue 0 is taken as EIO.
  static Status FromErrno(int errnoValue, const std::string& what);

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // The errno behind the failure; 0 on success and for failures that have none.
  int errnoValue() const { return errno_; }
  // What failed, in words; empty on success.
  const std::string& message() const { return message_; }
  // The message in the program's own Chinese: the source of a translated message, else the
  // message itself.
  const std::string& sourceMessage() const { return source_.empty() ? message_ : source_; }

 private:
  StatusCode code_ = StatusCode::kOk;
  int errno_ = 0;
  std::string message_;
  std::string source_;
};

// The code a failure with this errno gets (kIoError for any errno not listed above).
StatusCode CodeFromErrno(int errnoValue);

// A value of type T, or the Status saying why there is none. Read value() only after ok().
template <typename T>
class Result {
 public:
  // Success holding value.
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit, so that `return value;` works
  // Failure; status must not be ok (it is taken as a failure of kind kFailed then).
  Result(Status status) : status_(std::move(status)) {  // NOLINT: implicit, as above
    if (status_.ok()) status_ = Status::Error(StatusCode::kFailed, "no value");
  }

  bool ok() const { return value_.has_value(); }
  // Ok when a value is held, else why not.
  const Status& status() const { return status_; }

  // The value; only when ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }

  // The value, or fallback on failure.
  template <typename U>
  T value_or(U&& fallback) const& {
    return ok() ? *value_ : static_cast<T>(std::forward<U>(fallback));
  }
  template <typename U>
  T value_or(U&& fallback) && {
    return ok() ? std::move(*value_) : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace sorvanta
