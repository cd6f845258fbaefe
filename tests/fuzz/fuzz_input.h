// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace sorvanta::fuzz {

inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Stops the run with a report when a property of the code under test does not hold.
inline void Require(bool holds) {
  if (!holds) std::abort();
}

// A private folder for a target's files, made once under $TMPDIR (or /tmp) and removed
// when the fuzzer ends normally; a crash leaves it for the report. The name lives on the
// heap so that it outlasts the static destructors, which run before this exit handler.
inline const std::string& ScratchFolder() {
  static const std::string* const folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    auto* made = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/sorvanta-fuzz-XXXXXX");
    Require(mkdtemp(made->data()) != nullptr);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchFolder(), ignored);
    });
    return made;
  }();
  return *folder;
}

}  // namespace sorvanta::fuzz
