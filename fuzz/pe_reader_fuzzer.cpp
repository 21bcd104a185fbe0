// libFuzzer target for the version-resource reader: locate the resource in
// an arbitrary image, copy it into an exactly sized buffer (so ASan sees any
// read past it), then parse its root block as VerQueryValueW does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/posix/version_info_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vur::posix::MemorySource image(data, size);
  vur::posix::ResourceLocation where;
  if (vur::posix::LocateVersionResource(image, &where) != 0) return 0;
  if (where.offset > size || where.size > size - where.offset) __builtin_trap();
  // Every resource found has a size the size call can state.
  DWORD info_size = 0;
  if (!vur::posix::VersionInfoSize(where, &info_size)) __builtin_trap();

  // Cut to 64 KiB, as a caller with a fixed buffer would; the first byte of
  // the input varies the cut so short copies are explored too.
  std::size_t capacity = where.size < 65536 ? static_cast<std::size_t>(where.size) : 65536;
  if (size > 0 && data[0] != 'M') capacity = capacity > data[0] ? data[0] : capacity;
  if (capacity < 2) capacity = 2;
  std::vector<std::uint8_t> copy(capacity);
  std::size_t copied = 0;
  if (!vur::posix::ReadVersionResource(image, where, copy.data(), copy.size(), &copied)) return 0;
  if (copied > copy.size()) __builtin_trap();

  const void* value = nullptr;
  UINT length = 0;
  vur::posix::QueryRootValue(copy.data(), copy.size(), &value, &length);
  if (value == nullptr) {
    if (length != 0) __builtin_trap();
    return 0;
  }
  const auto* v = static_cast<const std::uint8_t*>(value);
  if (v < copy.data() || v + length > copy.data() + copy.size()) __builtin_trap();
  volatile std::uint8_t sink = 0;
  for (UINT i = 0; i < length; ++i) sink = sink ^ v[i];
  return 0;
}
