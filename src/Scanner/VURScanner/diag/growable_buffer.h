// A reusable byte area that grows by doubling up to a limit and never
// shrinks. Growth discards the old content: the area holds one file's version
// resource at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "diag/log.h"

namespace vur {

class GrowableBuffer {
 public:
  // Starts empty and grows to 1024 bytes at once, which it logs at DEBUG.
  GrowableBuffer(std::uint32_t limit, LogSink& log);
  GrowableBuffer(const GrowableBuffer&) = delete;
  GrowableBuffer& operator=(const GrowableBuffer&) = delete;
  ~GrowableBuffer();

  // Ensures a capacity of at least `size` bytes, or of the limit when `size`
  // exceeds it. A failed allocation throws std::bad_alloc and leaves the
  // buffer empty.
  void GrowToFit(std::uint32_t size);

  unsigned char* Data() const { return storage_.get(); }
  // The usable size of Data(); after clamping it may be less than was asked.
  std::uint32_t Capacity() const { return capacity_; }

 private:
  std::uint32_t capacity_ = 0;
  std::uint32_t limit_;
  std::unique_ptr<unsigned char[]> storage_;
  LogSink* log_;
};

}  // namespace vur
