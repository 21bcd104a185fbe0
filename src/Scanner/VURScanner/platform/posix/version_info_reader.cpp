#include "platform/posix/version_info_reader.h"

#include <cstring>
#include <vector>

namespace vur::posix {
namespace {

// Hostile files may claim up to 65535 sections or 131070 directory entries.
// Real images stay far below these caps; above them a file is treated as if
// its table ended at the cap.
constexpr std::uint32_t kMaxSections = 1024;
constexpr std::uint32_t kMaxLanguageEntries = 4096;
constexpr std::uint32_t kMaxNeTypes = 4096;
constexpr std::uint32_t kMaxNeAlignShift = 24;

constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint16_t kVersionInfoId = 1;
// Integer ids carry the high bit in NE.
constexpr std::uint16_t kNeRtVersion = 0x8000 | kRtVersion;
constexpr std::uint16_t kNeVersionInfoId = 0x8000 | kVersionInfoId;
constexpr std::uint32_t kHighBit = 0x80000000u;

std::uint16_t Le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct Section {
  std::uint32_t virtual_address;
  std::uint32_t raw_size;
  std::uint32_t raw_offset;
};

class PeImage {
 public:
  PeImage(const ByteSource& src, std::vector<Section> sections)
      : src_(src), sections_(std::move(sections)) {}

  // File offset of the `n` bytes at `rva`, all within one section's bytes in
  // the file. 64-bit arithmetic: no sum of 32-bit fields can wrap.
  bool MapRva(std::uint64_t rva, std::uint64_t n, std::uint64_t* offset) const {
    for (const Section& s : sections_) {
      if (rva < s.virtual_address) continue;
      std::uint64_t into = rva - s.virtual_address;
      if (into > s.raw_size || n > s.raw_size - into) continue;
      *offset = static_cast<std::uint64_t>(s.raw_offset) + into;
      return true;
    }
    return false;
  }

  bool ReadRva(std::uint64_t rva, void* out, std::size_t n) const {
    std::uint64_t offset = 0;
    return MapRva(rva, n, &offset) && src_.ReadAt(offset, out, n);
  }

 private:
  const ByteSource& src_;
  std::vector<Section> sections_;
};

// The target of a directory entry: the offset (from the resource root) of a
// subdirectory or of a data entry. Like Windows' own lookup, the reader takes
// the offset without testing the entry's directory bit; every read through it
// is bounds-checked, and the walk is three levels deep, so no loop can form.
constexpr std::uint32_t kTargetMask = 0x7fffffffu;

// The directory at `dir` (relative to the resource root): where its entries
// start, and how many named and id entries it has.
struct Directory {
  std::uint32_t at = 0;
  std::uint32_t named = 0;
  std::uint32_t ids = 0;
};

bool ReadDirectory(const PeImage& pe, std::uint64_t root, std::uint32_t at, Directory* dir) {
  unsigned char h[16];
  if (!pe.ReadRva(root + at, h, sizeof h)) return false;
  dir->at = at;
  dir->named = Le16(h + 12);
  dir->ids = Le16(h + 14);
  return true;
}

bool ReadEntry(const PeImage& pe, std::uint64_t root, const Directory& dir, std::uint32_t index,
               std::uint32_t* name, std::uint32_t* target) {
  unsigned char e[8];
  if (!pe.ReadRva(root + dir.at + 16 + std::uint64_t{index} * 8, e, sizeof e)) return false;
  *name = Le32(e);
  *target = Le32(e + 4) & kTargetMask;
  return true;
}

// The target of the entry with integer id `id`. The id entries follow the
// named ones, sorted by id, and are found by binary search, as Windows finds
// them; so an unsorted directory hides entries from this reader as it hides
// them from Windows. Only an entry's low 16 bits are its id: the format's
// integer ids are 16-bit, and the loader compares no more.
bool FindById(const PeImage& pe, std::uint64_t root, const Directory& dir, std::uint16_t id,
              std::uint32_t* target) {
  std::int64_t low = dir.named, high = std::int64_t{dir.named} + dir.ids - 1;
  while (low <= high) {
    std::int64_t middle = (low + high) / 2;
    std::uint32_t name = 0, middle_target = 0;
    if (!ReadEntry(pe, root, dir, static_cast<std::uint32_t>(middle), &name, &middle_target))
      return false;
    std::uint16_t middle_id = static_cast<std::uint16_t>(name & 0xffff);
    if (middle_id == id) {
      *target = middle_target;
      return true;
    }
    if (middle_id > id) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return false;
}

// The data entry of the language directory that a US English system takes:
// language neutral, US English, English, and else the first entry that is
// not a directory. Wine's version.dll takes the same on such a system.
bool LanguageEntry(const PeImage& pe, std::uint64_t root, std::uint32_t at,
                   std::uint32_t* target) {
  static const std::uint16_t kPreferred[] = {0x000, 0x409, 0x009};
  Directory dir;
  if (!ReadDirectory(pe, root, at, &dir)) return false;
  for (std::uint16_t language : kPreferred) {
    if (FindById(pe, root, dir, language, target)) return true;
  }
  std::uint32_t count = dir.named + dir.ids;
  if (count > kMaxLanguageEntries) count = kMaxLanguageEntries;
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned char e[8];
    if (!pe.ReadRva(root + dir.at + 16 + std::uint64_t{i} * 8, e, sizeof e)) return false;
    if ((Le32(e + 4) & kHighBit) == 0) {
      *target = Le32(e + 4);
      return true;
    }
  }
  return false;
}

DWORD LocatePe(const ByteSource& src, std::uint64_t pe_at, ResourceLocation* where) {
  // Signature, COFF header and the optional header's magic.
  unsigned char coff[26];
  if (!src.ReadAt(pe_at, coff, sizeof coff)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::uint32_t section_count = Le16(coff + 6);
  std::uint32_t optional_size = Le16(coff + 20);
  std::uint16_t magic = Le16(coff + 24);
  std::uint32_t dirs_at;  // data directories, from the start of the optional header
  if (magic == 0x10b) {
    dirs_at = 96;
  } else if (magic == 0x20b) {
    dirs_at = 112;
  } else {
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  std::uint64_t optional_at = pe_at + 24;
  unsigned char count_bytes[4];
  unsigned char dir[8];
  if (optional_size < dirs_at + 3 * 8 ||
      !src.ReadAt(optional_at + dirs_at - 4, count_bytes, sizeof count_bytes) ||
      Le32(count_bytes) < 3 || !src.ReadAt(optional_at + dirs_at + 2 * 8, dir, sizeof dir)) {
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  std::uint32_t root = Le32(dir);
  if (root == 0 || Le32(dir + 4) == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;

  if (section_count > kMaxSections) section_count = kMaxSections;
  std::vector<unsigned char> table(std::size_t{section_count} * 40);
  if (!table.empty() && !src.ReadAt(optional_at + optional_size, table.data(), table.size())) {
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  std::vector<Section> sections;
  sections.reserve(section_count);
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const unsigned char* s = table.data() + std::size_t{i} * 40;
    sections.push_back({Le32(s + 12), Le32(s + 16), Le32(s + 20)});
  }
  PeImage pe(src, std::move(sections));

  // RT_VERSION, then the resource with id 1 (VS_VERSION_INFO), which is the
  // one Windows reads: a named version resource, or one with another id,
  // is not the file's version.
  Directory types;
  if (!ReadDirectory(pe, root, 0, &types)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::uint32_t names_at = 0, languages_at = 0, data_at = 0;
  Directory names;
  if (!FindById(pe, root, types, kRtVersion, &names_at) ||
      !ReadDirectory(pe, root, names_at, &names) ||
      !FindById(pe, root, names, kVersionInfoId, &languages_at) ||
      !LanguageEntry(pe, root, languages_at, &data_at)) {
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  }

  unsigned char data[16];
  if (!pe.ReadRva(root + std::uint64_t{data_at}, data, sizeof data)) {
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  }
  std::uint32_t rva = Le32(data);
  std::uint32_t size = Le32(data + 4);
  std::uint64_t offset = 0;
  if (!pe.MapRva(rva, size, &offset) || offset > src.Size() ||
      size > src.Size() - offset) {
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  where->offset = offset;
  where->size = size;
  where->sixteen_bit = false;
  return 0;
}

// 16-bit NE image: a resource table of type blocks, each followed by its
// resources' 12-byte name records; offsets and lengths are in units of
// 1 << alignment shift.
DWORD LocateNe(const ByteSource& src, std::uint64_t ne_at, ResourceLocation* where) {
  unsigned char header[0x40];
  if (!src.ReadAt(ne_at, header, sizeof header)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::uint16_t table_offset = Le16(header + 0x24);
  std::uint16_t resident_names = Le16(header + 0x26);
  // No resource table: both offsets equal (the table would be empty).
  if (table_offset == resident_names) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::uint64_t at = ne_at + table_offset;
  unsigned char shift_bytes[2];
  if (!src.ReadAt(at, shift_bytes, sizeof shift_bytes)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::uint32_t shift = Le16(shift_bytes);
  if (shift > kMaxNeAlignShift) return ERROR_RESOURCE_DATA_NOT_FOUND;
  at += 2;
  for (std::uint32_t t = 0; t < kMaxNeTypes; ++t) {
    unsigned char type[8];
    if (!src.ReadAt(at, type, 2)) return ERROR_RESOURCE_DATA_NOT_FOUND;
    std::uint16_t id = Le16(type);
    if (id == 0) break;
    if (!src.ReadAt(at, type, sizeof type)) return ERROR_RESOURCE_DATA_NOT_FOUND;
    std::uint16_t count = Le16(type + 2);
    at += 8;
    if (id != kNeRtVersion) {
      at += std::uint64_t{count} * 12;
      continue;
    }
    // The resource with id 1, as for PE images.
    for (std::uint32_t r = 0; r < count; ++r, at += 12) {
      unsigned char name[12];
      if (!src.ReadAt(at, name, sizeof name)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
      if (Le16(name + 6) != kNeVersionInfoId) continue;
      // 64-bit arithmetic: 0xffff << 24 does not fit 32 bits.
      std::uint64_t offset = std::uint64_t{Le16(name)} << shift;
      std::uint64_t length = std::uint64_t{Le16(name + 2)} << shift;
      // The length is rounded up to the alignment; the last resource may end
      // with the file before that.
      if (offset >= src.Size()) return ERROR_RESOURCE_DATA_NOT_FOUND;
      if (length > src.Size() - offset) length = src.Size() - offset;
      if (length < 2) return ERROR_RESOURCE_DATA_NOT_FOUND;
      where->offset = offset;
      where->size = length;
      where->sixteen_bit = true;
      return 0;
    }
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  }
  return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, void* out, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  if (n != 0) std::memcpy(out, data_ + offset, n);
  return true;
}

DWORD LocateVersionResource(const ByteSource& image, ResourceLocation* where) {
  unsigned char dos[64];
  if (!image.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  std::uint64_t header_at = Le32(dos + 0x3c);
  unsigned char sig[4];
  if (!image.ReadAt(header_at, sig, sizeof sig)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  DWORD error = ERROR_RESOURCE_DATA_NOT_FOUND;
  if (sig[0] == 'P' && sig[1] == 'E' && sig[2] == 0 && sig[3] == 0) {
    error = LocatePe(image, header_at, where);
  } else if (sig[0] == 'N' && sig[1] == 'E') {
    error = LocateNe(image, header_at, where);
  }
  // A resource whose size the size call can't state in 32 bits is refused
  // here, so no caller ever sizes its buffer from a wrapped number.
  DWORD size = 0;
  if (error == 0 && !VersionInfoSize(*where, &size)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  return error;
}

bool VersionInfoSize(const ResourceLocation& where, DWORD* size) {
  std::uint64_t result = 0;
  if (where.sixteen_bit) {
    // A 16-bit resource too short for the fixed file information would give
    // a negative size.
    if (where.size < sizeof(VS_FIXEDFILEINFO)) return false;
    result = (where.size - sizeof(VS_FIXEDFILEINFO)) * 4;
  } else {
    result = where.size * 2 + 4;
  }
  if (result > 0xffffffffu) return false;
  *size = static_cast<DWORD>(result);
  return true;
}

bool ReadVersionResource(const ByteSource& image, const ResourceLocation& where, void* out,
                         std::size_t capacity, std::size_t* copied) {
  *copied = 0;
  if (capacity < 2) return false;
  std::size_t n = where.size < capacity ? static_cast<std::size_t>(where.size) : capacity;
  if (!image.ReadAt(where.offset, out, n)) return false;
  *copied = n;
  if (where.sixteen_bit) return true;
  // Windows marks the end of a 32-bit block with "FE2X" where its length word
  // says the block ends, room permitting. A damaged length word puts the mark
  // inside the block, where the parse then meets it, so it is made here too.
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t end = Le16(bytes);
  if (capacity >= end + 4) std::memcpy(bytes + end, "FE2X", 4);
  return true;
}

void QueryRootValue(const void* block, std::size_t extent, const void** value, UINT* length) {
  const auto* p = static_cast<const unsigned char*>(block);
  *value = nullptr;
  *length = 0;
  if (extent < 6) return;
  std::size_t value_length = Le16(p + 2);
  std::size_t pos;
  // The 32-bit layout has a type word (0 or 1) where the 16-bit layout's
  // 8-bit key begins; Windows tells them apart by that byte alone.
  if (p[4] >= ' ') {
    pos = 4;
    while (pos < extent && p[pos] != 0) ++pos;
    if (pos >= extent) return;
    pos += 1;
  } else {
    pos = 6;
    // The key is UTF-16LE whatever the width of wchar_t.
    while (pos + 2 <= extent && (p[pos] | p[pos + 1]) != 0) pos += 2;
    if (pos + 2 > extent) return;
    pos += 2;
  }
  pos = (pos + 3) & ~std::size_t{3};
  if (pos > extent) return;
  *value = p + pos;
  *length = static_cast<UINT>(value_length < extent - pos ? value_length : extent - pos);
}

}  // namespace vur::posix
