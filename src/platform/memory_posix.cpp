// Page allocation and locking on POSIX: mmap, mremap where Linux has it, mlock.
#include <sys/mman.h>

#include "platform/memory.hpp"

namespace mirandel::platform {

void* allocate_pages(std::size_t size) noexcept {
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // One fault per 2 MiB instead of one per 4 KiB when a large request is read
  // or decoded. Only advice: a system without huge pages ignores it.
  constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
  if (size >= HUGE_PAGE) static_cast<void>(::madvise(block, size, MADV_HUGEPAGE));
#endif
  return block;
}

void release_pages(void* block, std::size_t size) noexcept {
  if (block != nullptr) static_cast<void>(::munmap(block, size));
}

void* grow_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept {
#ifdef MREMAP_MAYMOVE
  void* moved = ::mremap(block, old_size, new_size, MREMAP_MAYMOVE);
  return moved == MAP_FAILED ? nullptr : moved;
#else
  static_cast<void>(block);
  static_cast<void>(old_size);
  static_cast<void>(new_size);
  return nullptr;
#endif
}

bool lock_pages(const void* block, std::size_t size) noexcept {
  return size != 0 && ::mlock(block, size) == 0;
}

void unlock_pages(const void* block, std::size_t size) noexcept {
  if (size != 0) static_cast<void>(::munlock(block, size));
}

}  // namespace mirandel::platform
