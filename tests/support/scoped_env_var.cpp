#include "support/scoped_env_var.h"

#include <stdlib.h>

#include <utility>

namespace sorvanta::testing {

ScopedEnvVar::ScopedEnvVar(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* current = ::getenv(name_.c_str())) {
    hadPrevious_ = true;
    previous_ = current;
  }
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnvVar::~ScopedEnvVar() {
  if (hadPrevious_) {
    ::setenv(name_.c_str(), previous_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace sorvanta::testing
