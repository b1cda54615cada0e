// Page allocation and locking on POSIX: mmap, mremap where Linux has it, mlock.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/memory.hpp"

namespace mirandel::platform {

namespace {

/// The size of a huge page on x86-64 Linux.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

std::size_t round_up(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

void* map_anonymous(std::size_t size) noexcept {
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

}  // namespace

void* allocate_pages(std::size_t size) noexcept {
  if (size < HUGE_PAGE || size > SIZE_MAX - 2 * HUGE_PAGE) return map_anonymous(size);
  // A large block starts on a huge-page boundary, so that it can be backed by
  // huge pages: one fault per 2 MiB instead of one per 4 KiB as it is filled.
  // The slack around the aligned block is given back at once.
  const std::size_t length = round_up(size, page_size());
  auto* mapped = static_cast<std::uint8_t*>(map_anonymous(length + HUGE_PAGE));
  if (mapped == nullptr) return nullptr;
  const auto address = reinterpret_cast<std::uintptr_t>(mapped);
  const std::size_t head = round_up(address, HUGE_PAGE) - address;
  std::uint8_t* block = mapped + head;
  if (head != 0) ::munmap(mapped, head);
  if (HUGE_PAGE - head != 0) ::munmap(block + length, HUGE_PAGE - head);
#ifdef MADV_HUGEPAGE
  // Only advice: a system without huge pages ignores it.
  static_cast<void>(::madvise(block, length, MADV_HUGEPAGE));
#endif
  return block;
}

void release_pages(void* block, std::size_t size) noexcept {
  if (block != nullptr) static_cast<void>(::munmap(block, size));
}

void* grow_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept {
#if defined(MREMAP_MAYMOVE) && defined(MREMAP_FIXED)
  // The pages move into the start of a fresh aligned block, huge pages and
  // all; the kernel alone would put them wherever it likes.
  void* fresh = allocate_pages(new_size);
  if (fresh == nullptr) return nullptr;
  void* moved = ::mremap(block, old_size, old_size, MREMAP_MAYMOVE | MREMAP_FIXED, fresh);
  if (moved == MAP_FAILED) {
    release_pages(fresh, new_size);
    return nullptr;
  }
  return fresh;
#else
  static_cast<void>(block);
  static_cast<void>(old_size);
  static_cast<void>(new_size);
  return nullptr;
#endif
}

void shrink_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept {
  const std::size_t kept = round_up(new_size, page_size());
  if (kept < old_size) {
    static_cast<void>(::munmap(static_cast<std::uint8_t*>(block) + kept, old_size - kept));
  }
}

bool lock_pages(const void* block, std::size_t size) noexcept {
  return size != 0 && ::mlock(block, size) == 0;
}

void unlock_pages(const void* block, std::size_t size) noexcept {
  if (size != 0) static_cast<void>(::munlock(block, size));
}

}  // namespace mirandel::platform
