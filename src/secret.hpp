// Buffers for secrets (the signing request, the PIN): their bytes are wiped
// before the memory is given back, on growth as well as on release, so no
// copy of a PIN is left behind in freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace mirandel {

/// Overwrites `bytes` with zeros in a way the optimiser cannot remove.
inline void secure_wipe(void* data, std::size_t size) noexcept {
  if (size == 0) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
  // Keeps the stores from being treated as dead even after inlining.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

/// A growable byte buffer that wipes every block it lets go of.
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept
      : data_(std::move(other.data_)), size_(other.size_), capacity_(other.capacity_) {
    other.size_ = other.capacity_ = 0;
  }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      clear();
      data_ = std::move(other.data_);
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.size_ = other.capacity_ = 0;
    }
    return *this;
  }
  ~SecretBytes() { clear(); }

  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::uint8_t* data() noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data_.get(), size_}; }
  std::string_view view() const noexcept {
    return {reinterpret_cast<const char*>(data_.get()), size_};
  }

  /// Makes room for at least `n` more bytes and returns where they go; commit
  /// them with `commit(k)`.
  std::uint8_t* prepare(std::size_t n) {
    if (capacity_ - size_ < n) {
      std::size_t wanted = size_ + n;
      std::size_t grown = capacity_ < 4096 ? 4096 : capacity_ * 2;
      reallocate(grown < wanted ? wanted : grown);
    }
    return data_.get() + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }

  void append(std::span<const std::uint8_t> more) {
    if (more.empty()) return;
    std::memcpy(prepare(more.size()), more.data(), more.size());
    commit(more.size());
  }

  /// Wipes and frees everything.
  void clear() noexcept {
    if (data_) secure_wipe(data_.get(), capacity_);
    data_.reset();
    size_ = capacity_ = 0;
  }

 private:
  void reallocate(std::size_t capacity) {
    std::unique_ptr<std::uint8_t[]> fresh(new std::uint8_t[capacity]);
    if (size_ != 0) std::memcpy(fresh.get(), data_.get(), size_);
    std::size_t kept = size_;
    clear();
    data_ = std::move(fresh);
    size_ = kept;
    capacity_ = capacity;
  }

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// A std::string whose contents are wiped when it is destroyed. Used for the
/// PIN text; it is never grown after it is built.
class SecretString {
 public:
  SecretString() = default;
  /// Takes `text` and wipes the caller's copy.
  explicit SecretString(std::string& text) : text_(text) {
    secure_wipe(text.data(), text.capacity());
    text.clear();
  }
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  // Moves copy and then wipe the source: a plain string move would leave the
  // bytes of a short string behind in the source's inline buffer.
  SecretString(SecretString&& other) : text_(other.text_) { other.wipe(); }
  SecretString& operator=(SecretString&& other) {
    if (this != &other) {
      wipe();
      text_ = other.text_;
      other.wipe();
    }
    return *this;
  }
  ~SecretString() { wipe(); }

  const std::string& str() const noexcept { return text_; }
  std::string_view view() const noexcept { return text_; }

 private:
  void wipe() noexcept {
    // The whole capacity, so the bytes of a short-string buffer go too.
    secure_wipe(text_.data(), text_.capacity());
    text_.clear();
  }
  std::string text_;
};

}  // namespace mirandel
