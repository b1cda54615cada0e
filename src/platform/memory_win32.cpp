// Page allocation and locking on Windows: VirtualAlloc, VirtualLock.
#include "platform/memory.hpp"

#include <windows.h>

namespace mirandel::platform {

void* allocate_pages(std::size_t size) noexcept {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release_pages(void* block, std::size_t size) noexcept {
  static_cast<void>(size);  // MEM_RELEASE frees the whole reservation
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

void* grow_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept {
  // Windows cannot move committed pages; the caller copies instead.
  static_cast<void>(block);
  static_cast<void>(old_size);
  static_cast<void>(new_size);
  return nullptr;
}

void shrink_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept {
  // A reservation is released only whole (release_pages does that); the
  // pages past the kept bytes are decommitted, which gives their memory back.
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const std::size_t page = system.dwPageSize;
  const std::size_t kept = (new_size + page - 1) / page * page;
  if (kept < old_size) VirtualFree(static_cast<char*>(block) + kept, old_size - kept, MEM_DECOMMIT);
}

bool lock_pages(const void* block, std::size_t size) noexcept {
  return size != 0 && VirtualLock(const_cast<void*>(block), size) != 0;
}

void unlock_pages(const void* block, std::size_t size) noexcept {
  if (size != 0) VirtualUnlock(const_cast<void*>(block), size);
}

}  // namespace mirandel::platform
