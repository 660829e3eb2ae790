// RAII ownership of one zero-filled block from the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/platform.h"

class HeapBlock {
 public:
  HeapBlock() = default;
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  HeapBlock(HeapBlock&& other) noexcept { *this = std::move(other); }
  HeapBlock& operator=(HeapBlock&& other) noexcept {
    if (this != &other) {
      Release();
      bytes_ = std::exchange(other.bytes_, nullptr);
      size_ = std::exchange(other.size_, 0);
      wipe_ = std::exchange(other.wipe_, false);
    }
    return *this;
  }
  ~HeapBlock() { Release(); }

  // A block of `size` zero bytes; empty when the platform has none (or size is 0).
  // `wipe` blocks hold secrets and are zeroed again before they are given back.
  static HeapBlock Allocate(std::size_t size, bool wipe = false) {
    HeapBlock block;
    if (size != 0) {
      block.bytes_ = static_cast<std::uint8_t*>(platform::AllocateZeroed(size));
      if (block.bytes_ != nullptr) {
        block.size_ = size;
        block.wipe_ = wipe;
      }
    }
    return block;
  }

  void Release() {
    if (bytes_ == nullptr) {
      return;
    }
    if (wipe_) {
      // Volatile stores: the compiler may not drop a wipe of memory about to be freed.
      volatile std::uint8_t* bytes = bytes_;
      for (std::size_t i = 0; i < size_; ++i) {
        bytes[i] = 0;
      }
    }
    platform::ReleaseBlock(bytes_, size_);
    bytes_ = nullptr;
    size_ = 0;
    wipe_ = false;
  }

  [[nodiscard]] explicit operator bool() const { return bytes_ != nullptr; }
  [[nodiscard]] std::uint8_t* Bytes() const { return bytes_; }
  [[nodiscard]] char* Text() const { return reinterpret_cast<char*>(bytes_); }
  [[nodiscard]] std::size_t Size() const { return size_; }

 private:
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
  bool wipe_ = false;
};
