#include "diag/growable_buffer.h"

#include <new>

namespace vur {

GrowableBuffer::GrowableBuffer(std::uint32_t limit, LogSink& log) : limit_(limit), log_(&log) {
  GrowToFit(1024);
}

GrowableBuffer::~GrowableBuffer() {
  storage_.reset();
  capacity_ = 0;
}

void GrowableBuffer::GrowToFit(std::uint32_t size) {
  if (size > limit_) size = limit_;
  if (size <= capacity_) return;
  // The message gives the request after clamping, not the new capacity.
  Log(*log_, LogLevel::kDebug, "\n#GrowToFit expanding buffer to %i\n", static_cast<int>(size));
  std::uint64_t capacity = capacity_ == 0 ? 1 : capacity_;
  while (capacity < size) capacity *= 2;
  storage_.reset();
  capacity_ = 0;
  if (capacity > UINT32_MAX) throw std::bad_alloc();
  storage_.reset(new unsigned char[capacity]);
  capacity_ = static_cast<std::uint32_t>(capacity);
}

}  // namespace vur
