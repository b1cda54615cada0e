// The memory search behind find_pin_copies. On Linux the mappings come from
// /proc/self/maps and their bytes are read through /proc/self/mem, so that
// freed and poisoned memory can be read without tripping AddressSanitizer.
// The bytes read go into a mapping of the search's own, which is skipped.
#include "pin_scan.hpp"

#if defined(__linux__)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#endif

namespace mirandel::mock {

#if defined(__linux__)
namespace {

struct Mapping {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::string name;
};

// Mappings larger than this are reservations (AddressSanitizer's shadow
// memory, allocator arenas reserved up front), not memory the program wrote
// a PIN into page by page; reading them would take hours.
constexpr std::uintptr_t LARGEST_SCANNED_MAPPING = std::uintptr_t{4} << 30;
constexpr std::size_t CHUNK = std::size_t{1} << 20;

/// The readable and writable mappings of this process.
std::vector<Mapping> writable_mappings() {
  std::vector<Mapping> mappings;
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return mappings;
  char line[4096];
  while (std::fgets(line, sizeof line, maps)) {
    unsigned long long start = 0, end = 0;
    char perms[8] = {};
    int name_at = 0;
    if (std::sscanf(line, "%llx-%llx %7s %*s %*s %*s %n", &start, &end, perms, &name_at) < 3)
      continue;
    if (perms[0] != 'r' || perms[1] != 'w') continue;
    if (end - start > LARGEST_SCANNED_MAPPING) continue;
    std::string name = name_at > 0 ? std::string(line + name_at) : std::string();
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    mappings.push_back({static_cast<std::uintptr_t>(start), static_cast<std::uintptr_t>(end),
                        name.empty() ? "[anon]" : name});
  }
  std::fclose(maps);
  return mappings;
}

/// Whether `bytes` holds the PIN whose inverted bytes are `inverted`.
bool holds_pin(const unsigned char* bytes, std::string_view inverted) {
  for (std::size_t j = 0; j < inverted.size(); ++j)
    if ((bytes[j] ^ 0xFFu) != static_cast<unsigned char>(inverted[j])) return false;
  return true;
}

}  // namespace

std::optional<PinCopies> find_pin_copies(std::string_view inverted) {
  PinCopies copies;
  if (inverted.empty()) return copies;
  const std::vector<Mapping> mappings = writable_mappings();
  const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (memory < 0 || mappings.empty()) {
    if (memory >= 0) ::close(memory);
    return std::nullopt;
  }
  // Each chunk is read with the PIN's length minus one bytes of the next, so
  // that a copy across two chunks is found once.
  const std::size_t overlap = inverted.size() - 1;
  const std::size_t size = CHUNK + overlap;
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    ::close(memory);
    return std::nullopt;
  }
  auto* buffer = static_cast<unsigned char*>(mapped);
  const auto own = reinterpret_cast<std::uintptr_t>(mapped);
  for (const Mapping& mapping : mappings) {
    if (own >= mapping.start && own < mapping.end) continue;  // the search's own bytes
    for (std::uintptr_t at = mapping.start; at < mapping.end; at += CHUNK) {
      const std::size_t wanted =
          static_cast<std::size_t>(std::min<std::uintptr_t>(size, mapping.end - at));
      const ssize_t got = ::pread(memory, buffer, wanted, static_cast<off_t>(at));
      if (got < static_cast<ssize_t>(inverted.size())) continue;
      const std::size_t last = static_cast<std::size_t>(got) - inverted.size();
      for (std::size_t i = 0; i <= last && i < CHUNK; ++i) {
        if (!holds_pin(buffer + i, inverted)) continue;
        char where[64];
        std::snprintf(where, sizeof where, "+0x%llx",
                      static_cast<unsigned long long>(at + i - mapping.start));
        copies.push_back(mapping.name + where);
      }
    }
  }
  std::memset(buffer, 0, size);
  ::munmap(mapped, size);
  ::close(memory);
  return copies;
}

#else

std::optional<PinCopies> find_pin_copies(std::string_view) { return std::nullopt; }

#endif

}  // namespace mirandel::mock
