// What the fuzz targets share. A failed property aborts, which libFuzzer
// reports as a crash and keeps the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace mirandel::fuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

/// The fuzzer's bytes as text, without copying.
inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace mirandel::fuzz
