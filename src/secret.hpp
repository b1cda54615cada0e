// The buffers of the signing request's path, which we allocate ourselves so
// that no copy of the PIN is left behind in memory we give back.
//
// SecretBytes holds bytes that may contain the PIN (the raw request, the
// decoded escapes). Every block it lets go of, on growth as on release, has
// its bytes wiped first: the bytes within size(), which is why whatever is
// written into prepare()'s room must be commit()ted. A large block is pages
// of its own (platform/memory.hpp); on Linux it grows by moving those pages
// rather than by copying them, which leaves no old copy behind. ByteBuffer is
// the same buffer without the wiping, for the data to sign. SecretString
// keeps the PIN itself in pages locked against swapping (mlock, VirtualLock)
// where the system allows it.
//
// Every wipe is secure_wipe: a memset through a volatile function pointer,
// then a compiler barrier, so that the optimiser keeps the stores.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "platform/memory.hpp"

namespace mirandel {

namespace detail {

/// The memset behind secure_wipe. Called through a volatile pointer, so the
/// compiler cannot know which function runs and cannot drop the call as a
/// store to memory that is about to die.
inline void* zero_fill(void* data, std::size_t size) noexcept { return std::memset(data, 0, size); }
inline void* (*volatile const ZERO_FILL)(void*, std::size_t) noexcept = zero_fill;

}  // namespace detail

/// Overwrites `size` bytes at `data` with zeros in a way the optimiser cannot
/// remove. The bytes must belong to one object or array the caller owns.
inline void secure_wipe(void* data, std::size_t size) noexcept {
  if (size == 0) return;
  detail::ZERO_FILL(data, size);
#if defined(__GNUC__)
  // The stores count as read by the asm, even after inlining.
  __asm__ __volatile__("" : : "r"(data) : "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

namespace detail {

/// A growable byte array that we allocate ourselves: small ones with new[],
/// large ones as pages of their own. Bytes are never zero-filled on the
/// caller's behalf. With `WIPE`, the bytes within size() of every block are
/// wiped before the block is let go.
template <bool WIPE>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_), paged_(other.paged_) {
    other.forget();
  }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      clear();
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      paged_ = other.paged_;
      other.forget();
    }
    return *this;
  }
  ~Buffer() { clear(); }

  const std::uint8_t* data() const noexcept { return data_; }
  std::uint8_t* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  /// Room allocated beyond size(); prepare(0) then gives where it starts.
  std::size_t spare() const noexcept { return capacity_ - size_; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
  operator std::span<const std::uint8_t>() const noexcept { return bytes(); }
  std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

  /// Makes the capacity at least `capacity` bytes, exactly that when it grows.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) reallocate(capacity);
  }

  /// Makes room for at least `n` more bytes and returns where they go; commit
  /// every byte written there with `commit(k)`: only committed bytes are
  /// wiped.
  std::uint8_t* prepare(std::size_t n) {
    if (spare() < n) {
      if (n > MAX_SIZE - size_) throw std::bad_alloc();
      const std::size_t wanted = size_ + n;
      const std::size_t doubled = capacity_ > MAX_SIZE / 2 ? MAX_SIZE : capacity_ * 2;
      const std::size_t grown = doubled < FIRST_CAPACITY ? FIRST_CAPACITY : doubled;
      reallocate(grown < wanted ? wanted : grown);
    }
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }

  void append(std::span<const std::uint8_t> more) {
    if (more.empty()) return;
    std::memcpy(prepare(more.size()), more.data(), more.size());
    commit(more.size());
  }

  /// Sets the size to `n`, keeping the first bytes; new bytes are not
  /// initialised, so the caller writes every one of them.
  std::uint8_t* resize_for_overwrite(std::size_t n) {
    reserve(n);
    size_ = n;
    return data_;
  }

  /// Keeps only the `length` bytes at `offset`, moved to the front, and hands
  /// them over as a buffer that wipes nothing; every other byte is wiped first
  /// (with WIPE) and the pages past the kept bytes are given back. This
  /// buffer is left empty.
  Buffer<false> take_range(std::size_t offset, std::size_t length) && noexcept {
    Buffer<false> kept;
    if (data_ == nullptr) return kept;
    if (offset != 0 && length != 0) std::memmove(data_, data_ + offset, length);
    if constexpr (WIPE) secure_wipe(data_ + length, size_ - length);
    if (length == 0) {
      clear();
      return kept;
    }
    std::size_t capacity = capacity_;
    if (paged_) {
      platform::shrink_pages(data_, capacity_, length);
      capacity = length;
    }
    kept.adopt(data_, length, capacity, paged_);
    forget();
    return kept;
  }

  /// Wipes (with WIPE) and frees everything.
  void clear() noexcept {
    if (data_ == nullptr) return;
    if constexpr (WIPE) secure_wipe(data_, size_);
    free_block(data_, capacity_, paged_);
    forget();
  }

 private:
  /// From this capacity on, blocks are pages of their own: the system zeroes
  /// them lazily, and on Linux they grow by moving pages rather than copying.
  static constexpr std::size_t PAGED_FROM = std::size_t{1} << 20;
  static constexpr std::size_t FIRST_CAPACITY = 4096;
  static constexpr std::size_t MAX_SIZE = static_cast<std::size_t>(-1) / 2;

  static void free_block(std::uint8_t* block, std::size_t capacity, bool paged) noexcept {
    if (paged) {
      platform::release_pages(block, capacity);
    } else {
      delete[] block;
    }
  }

  void reallocate(std::size_t capacity) {
    if (paged_) {
      if (void* moved = platform::grow_pages(data_, capacity_, capacity)) {
        data_ = static_cast<std::uint8_t*>(moved);
        capacity_ = capacity;
        return;
      }
    }
    std::uint8_t* fresh = nullptr;
    const bool paged = capacity >= PAGED_FROM;
    if (paged) {
      fresh = static_cast<std::uint8_t*>(platform::allocate_pages(capacity));
      if (fresh == nullptr) throw std::bad_alloc();
    } else {
      fresh = new std::uint8_t[capacity];
    }
    if (size_ != 0) std::memcpy(fresh, data_, size_);
    const std::size_t kept = size_;
    clear();
    data_ = fresh;
    size_ = kept;
    capacity_ = capacity;
    paged_ = paged;
  }

  void forget() noexcept {
    data_ = nullptr;
    size_ = capacity_ = 0;
    paged_ = false;
  }

  template <bool>
  friend class Buffer;
  /// Takes over a block from take_range.
  void adopt(std::uint8_t* data, std::size_t size, std::size_t capacity, bool paged) noexcept {
    data_ = data;
    size_ = size;
    capacity_ = capacity;
    paged_ = paged;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool paged_ = false;
};

}  // namespace detail

/// A growable byte buffer that wipes every block it lets go of.
using SecretBytes = detail::Buffer<true>;

/// The same buffer for bytes that are not secret (the data to sign): nothing
/// is wiped, nothing is zero-filled.
using ByteBuffer = detail::Buffer<false>;

/// A PIN text, in pages of its own that are locked in memory where the system
/// allows it, and wiped, unlocked and unmapped when released. Never grown
/// after it is built; moving hands the pages over, so no copy is left.
class SecretString {
 public:
  SecretString() = default;
  /// Copies `text` into fresh locked pages. The caller wipes its own copy.
  explicit SecretString(std::string_view text) {
    if (text.empty()) return;
    auto* block = static_cast<char*>(platform::allocate_pages(text.size()));
    if (block == nullptr) throw std::bad_alloc();
    locked_ = platform::lock_pages(block, text.size());
    std::memcpy(block, text.data(), text.size());
    data_ = block;
    size_ = text.size();
  }
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  SecretString(SecretString&& other) noexcept
      : data_(other.data_), size_(other.size_), locked_(other.locked_) {
    other.forget();
  }
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) {
      release();
      data_ = other.data_;
      size_ = other.size_;
      locked_ = other.locked_;
      other.forget();
    }
    return *this;
  }
  ~SecretString() { release(); }

  std::string_view view() const noexcept { return {data_ == nullptr ? "" : data_, size_}; }
  /// Whether the pages are locked in memory (the system may decline).
  bool locked() const noexcept { return locked_; }

 private:
  void release() noexcept {
    if (data_ == nullptr) return;
    secure_wipe(data_, size_);
    if (locked_) platform::unlock_pages(data_, size_);
    platform::release_pages(data_, size_);
    forget();
  }
  void forget() noexcept {
    data_ = nullptr;
    size_ = 0;
    locked_ = false;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  bool locked_ = false;
};

}  // namespace mirandel
