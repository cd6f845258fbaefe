// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace sorvanta::fuzz {

inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Stops the run with a report when a property of the code under test does not hold.
inline void Require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace sorvanta::fuzz
