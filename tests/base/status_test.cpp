#include "base/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

namespace sorvanta {
namespace {

TEST(StatusTest, ErrnoFailuresKeepTheErrnoAndNameTheStep) {
  const struct {
    int errnoValue;
    StatusCode code;
  } cases[] = {
      {ENOENT, StatusCode::kNotFound},       {EEXIST, StatusCode::kAlreadyExists},
      {EACCES, StatusCode::kPermissionDenied}, {EROFS, StatusCode::kPermissionDenied},
      {ENOSPC, StatusCode::kNoSpace},        {EDQUOT, StatusCode::kNoSpace},
      {EOPNOTSUPP, StatusCode::kUnsupported}, {EINVAL, StatusCode::kInvalidArgument},
      {EIO, StatusCode::kIoError},           {EFBIG, StatusCode::kIoError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.errnoValue);
    const Status status = Status::FromErrno(c.errnoValue, "open /x");
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.code(), c.code);
    EXPECT_EQ(status.errnoValue(), c.errnoValue);
    EXPECT_EQ(status.message().rfind("open /x: ", 0), 0u) << status.message();
  }
  // A failure whose errno got lost is still a failure.
  EXPECT_EQ(Status::FromErrno(0, "write").errnoValue(), EIO);
  EXPECT_EQ(Status::FromErrno(ENOSPC, "write").message(), "write: No space left on device");
}

TEST(StatusTest, SuccessAndFailureCannotBeConfused) {
  EXPECT_TRUE(Status().ok());
  EXPECT_EQ(Status::Ok().code(), StatusCode::kOk);
  EXPECT_TRUE(Status::Ok().message().empty());
  EXPECT_FALSE(Status::Error(StatusCode::kOk, "says ok").ok());  // an error is never ok

  const Result<int> fromOk{Status::Ok()};  // a Result without value is a failure
  EXPECT_FALSE(fromOk.ok());
  EXPECT_FALSE(fromOk.status().ok());
}

TEST(StatusTest, ResultHoldsAValueOrWhyNot) {
  Result<std::unique_ptr<int>> held = std::make_unique<int>(7);
  ASSERT_TRUE(held.ok());
  EXPECT_TRUE(held.status().ok());
  EXPECT_EQ(**held, 7);
  std::unique_ptr<int> taken = std::move(held).value_or(nullptr);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 7);

  Result<std::unique_ptr<int>> failed = Status::FromErrno(EEXIST, "open /y");
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.status().code(), StatusCode::kAlreadyExists);
  EXPECT_EQ(std::move(failed).value_or(nullptr), nullptr);

  const Result<std::string> text = Status::Error(StatusCode::kUnreachable, "Couldn't connect to server");
  EXPECT_EQ(text.value_or("fallback"), "fallback");
  EXPECT_EQ(text.status().message(), "Couldn't connect to server");
  EXPECT_EQ(text.status().errnoValue(), 0);
}

}  // namespace
}  // namespace sorvanta
