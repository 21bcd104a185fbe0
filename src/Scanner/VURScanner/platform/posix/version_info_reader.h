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
// A resource shorter than 2 bytes cannot hold its length word and counts as
// missing (ERROR_RESOURCE_DATA_NOT_FOUND), so every caller that sizes its
// buffer from the result can hold the root length.
// A failed read counts as "outside the file"; a file source notes the errno.
DWORD LocateVersionResource(const ByteSource& image, ResourceLocation* where);

// What GetFileVersionInfoSizeW gives for the resource, as Windows gives it:
// twice the size plus 4 for a PE resource (room for the ANSI copy that the
// narrow calls make), four times the size less the fixed information for a
// 16-bit one. Computed in 64 bits; false when the result does not fit 32 bits
// or a 16-bit resource is shorter than the fixed information.
bool VersionInfoSize(const ResourceLocation& where, DWORD* size);

// Copies min(capacity, where.size) bytes of the resource to `out` and lowers
// the copy's root length word to the number of bytes copied when it claims
// more. Returns false when the bytes can't be read; *copied is then 0.
bool ReadVersionResource(const ByteSource& image, const ResourceLocation& where, void* out,
                         std::size_t capacity, std::size_t* copied);

// The value of the root block of a version resource (VS_VERSIONINFO, 32-bit
// layout with UTF-16LE key, or the 16-bit layout with an 8-bit key): never
// reads past the root length word's count of bytes and never writes. When the
// value does not fit within the root length, *length is what fits (possibly
// 0); the caller checks size and signature.
void QueryRootValue(const void* block, const void** value, UINT* length);

}  // namespace vur::posix
