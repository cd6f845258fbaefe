// Sets an environment variable for as long as the object lives, then puts back what was
// there before (or removes it when it was unset).
#pragma once

#include <string>

namespace sorvanta::testing {

class ScopedEnvVar {
 public:
  ScopedEnvVar(std::string name, const std::string& value);
  ~ScopedEnvVar();
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  std::string name_;
  bool hadPrevious_ = false;
  std::string previous_;
};

}  // namespace sorvanta::testing
