// Memory straight from the operating system, for large buffers and for the
// PIN: whole pages that the system hands out already zeroed and maps only
// when first touched, and pages that can be kept out of the swap file.
#pragma once

#include <cstddef>

namespace mirandel::platform {

/// Maps `size` bytes (more than 0) of fresh read-write pages, or nullptr when
/// the system refuses. Where the system offers it, large mappings are backed
/// by huge pages, which cuts the page faults of filling them.
void* allocate_pages(std::size_t size) noexcept;

/// Unmaps a block from allocate_pages or grow_pages; `size` is the size it
/// was asked with. Nothing of its contents is cleared here.
void release_pages(void* block, std::size_t size) noexcept;

/// Enlarges a block from allocate_pages to `new_size` by moving its pages,
/// without copying a byte, so nothing of it stays behind at the old place.
/// Returns the block, possibly at a new address; nullptr when that is not
/// possible here (the old block is then unchanged and still owned).
void* grow_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept;

/// Gives back the pages of a block from allocate_pages or grow_pages beyond
/// its first `new_size` bytes (0 < new_size <= old_size); release_pages then
/// takes `new_size`. Nothing of the contents is cleared here.
void shrink_pages(void* block, std::size_t old_size, std::size_t new_size) noexcept;

/// Asks that the pages holding `size` bytes at `block` stay in memory and out
/// of the swap file (mlock / VirtualLock). False when the system declines,
/// which is no error: the caller goes on without.
bool lock_pages(const void* block, std::size_t size) noexcept;

/// Undoes lock_pages; call it before the block is released.
void unlock_pages(const void* block, std::size_t size) noexcept;

}  // namespace mirandel::platform
