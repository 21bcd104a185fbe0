// The version-resource reader behind GetFileVersionInfo*W and VerQueryValueW.
//
// It works on an abstract byte source so that the same code reads a file
// (through pread, headers and resource only) or a buffer in memory (the
// fuzzer). Every offset, size and count taken from the image is untrusted:
// reads are bounds-checked against the source, the number of sections and
// directory entries examined is capped, and the resource directory is
// followed exactly three levels deep (type, name, language).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/win32_posix.h"

namespace vur::posix {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads exactly `n` bytes at `offset`. False when any of them lies outside
  // the source or the read fails; `out` is then unspecified.
  virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t n) const = 0;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const void* data, std::size_t size)
      : data_(static_cast<const unsigned char*>(data)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* out, std::size_t n) const override;

 private:
  const unsigned char* data_;
  std::size_t size_;
};

// Where the version resource's bytes lie in the source.
struct ResourceLocation {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;    // bytes; within the source
  bool sixteen_bit = false;  // from an NE image: the 16-bit layout
};

// Finds the version resource of a PE32, PE32+ or 16-bit NE image as Windows
// finds it: type RT_VERSION, the resource with id 1 (VS_VERSION_INFO), and of
// its languages neutral, US English, English or else the first. Returns 0 and
// fills *where, or a Win32 code:
// - ERROR_RESOURCE_DATA_NOT_FOUND: not an image, truncated headers, no
//   resource directory, the resource's bytes lie outside the file, or its
//   size does not fit what VersionInfoSize can state;
// - ERROR_RESOURCE_TYPE_NOT_FOUND: resources without RT_VERSION, or without
//   a resource of id 1 under it, or one without a usable language entry.
// A PE resource may be empty or shorter than its own root block, as a
// damaged data entry makes it; Windows then still gives a size (4 and up)
// and copies what there is. A 16-bit resource shorter than 2 bytes counts as
// missing (ERROR_RESOURCE_DATA_NOT_FOUND).
// A failed read counts as "outside the file"; a file source notes the errno.
DWORD LocateVersionResource(const ByteSource& image, ResourceLocation* where);

// What GetFileVersionInfoSizeW gives for the resource, as Windows gives it:
// twice the size plus 4 for a PE resource (room for the ANSI copy that the
// narrow calls make), four times the size less the fixed information for a
// 16-bit one. Computed in 64 bits; false when the result does not fit 32 bits
// or a 16-bit resource is shorter than the fixed information.
bool VersionInfoSize(const ResourceLocation& where, DWORD* size);

// Copies min(capacity, where.size) bytes of the resource to `out`, as
// Windows' GetFileVersionInfoW does: the rest of `out` keeps what it held.
// For a 32-bit resource it then writes "FE2X" at the offset the copy's root
// length word names, when those 4 bytes fit in `capacity`, as Windows marks
// a block's end; the length word is read from `out` after the copy, so with
// fewer than 2 bytes copied its rest is what `out` held. Returns false when
// `capacity` is below 2 or the bytes can't be read; *copied is then 0.
bool ReadVersionResource(const ByteSource& image, const ResourceLocation& where, void* out,
                         std::size_t capacity, std::size_t* copied);

// The value of the root block of a version resource, as VerQueryValueW finds
// it for "\": after the key (UTF-16LE in the 32-bit layout, 8 bits in the
// 16-bit layout, told apart by the byte after the two length words, as
// Windows tells them) at the next 4-byte boundary, with the length its
// value-length word states. Windows reads as far as the key and that length
// go; this reads no byte at or past `extent` bytes from `block` and cuts the
// length there. The block's own root length does not bound it, since
// Windows' parse ignores it. Without a key end inside `extent`, *value is
// null and *length 0. Never writes.
void QueryRootValue(const void* block, std::size_t extent, const void** value, UINT* length);

}  // namespace vur::posix
