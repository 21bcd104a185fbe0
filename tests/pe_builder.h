// Builds small PE32 / PE32+ (and 16-bit NE) images in memory with chosen
// version resources, for the version reader's unit tests, the fuzzer's seed
// corpus and end-to-end fixtures. The images are complete enough for a
// Windows loader to map them as data files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vur::test {

using Bytes = std::vector<std::uint8_t>;
using Version = std::array<std::uint16_t, 4>;  // a.b.c.d

constexpr std::uint16_t kRtRcdata = 10;
constexpr std::uint16_t kRtVersion = 16;

// A VS_VERSIONINFO: the root with its VS_FIXEDFILEINFO (file and product
// version both `version`) and a VarFileInfo\Translation for `language`.
Bytes VersionBlock(const Version& version, std::uint16_t language = 0x409);
// The same in the 16-bit layout (8-bit keys, no type words) used by NE files.
Bytes VersionBlock16(const Version& version);

struct Resource {
  std::uint16_t type = kRtVersion;
  std::uint16_t name = 1;
  std::uint16_t language = 0x409;
  Bytes data;
  // When not empty, the resource is named by this text (stored as UTF-16)
  // rather than by the id `name`. Named entries precede id entries in their
  // directory, as the format requires.
  std::string name_text = {};
};

struct PeOptions {
  bool pe32plus = false;
  // False: the image has no .rsrc section and an empty resource directory
  // entry; `resources` is ignored.
  bool resource_section = true;
  // Laid out by type id ascending, then named entries in the order they
  // first appear here, then ids and languages ascending, as resource
  // compilers lay them out (and Windows' binary search expects).
  std::vector<Resource> resources;
  // False: ids and languages too in the order they first appear, which
  // makes a directory that is not sorted.
  bool sorted = true;
};

// File offsets of the fields tests corrupt. 0 where the image has none.
struct PeLayout {
  std::size_t pe_header = 0;           // "PE\0\0"
  std::size_t optional_header = 0;
  std::size_t resource_dir_entry = 0;  // data directory 2: RVA, size
  std::size_t section_table = 0;
  std::size_t rsrc_section = 0;        // the .rsrc section header
  std::size_t rsrc_raw = 0;            // root of the resource directory
  std::uint32_t rsrc_rva = 0;
  std::size_t version_type_entry = 0;  // the root's entry for RT_VERSION
  std::size_t version_name_dir = 0;    // the directory that entry points to
  std::size_t version_language_dir = 0;
  std::size_t version_data_entry = 0;  // data entry of the first version resource
  std::size_t version_data = 0;        // its bytes
};

Bytes BuildPe(const PeOptions& options, PeLayout* layout = nullptr);

// Ways a hostile file breaks a resource directory that is otherwise whole.
// Each makes a reader that follows the file's pointers without checking them
// read outside the file's mapping.
enum class Damage {
  // The version resource's language entry points at a data entry 2 GiB past
  // the resource directory.
  kDataEntryOutside,
  // Its data entry claims 0x7FFFFFFF bytes that begin 16 bytes before the end
  // of the file and of the image, both padded to whole pages.
  kHugeDataAtEnd,
  // The RT_VERSION entry of the root points at a name directory 2 GiB past it.
  kDirectoryOutside,
};
// Applies `damage` to an image made by BuildPe with a version resource.
void DamageResources(Bytes* image, const PeLayout& layout, Damage damage);
// An image with one version resource made by VersionBlock.
Bytes BuildPeWithVersion(const Version& version, bool pe32plus = false,
                         PeLayout* layout = nullptr);
// A 16-bit NE image whose only resource is `version_resource`.
Bytes BuildNe(const Bytes& version_resource);

void Put16(Bytes* image, std::size_t at, std::uint16_t value);
void Put32(Bytes* image, std::size_t at, std::uint32_t value);

// Parses "a.b.c.d" (each part 0..65535).
bool ParseVersion(const std::string& text, Version* version);
bool WriteBytes(const std::string& path, const Bytes& bytes);

}  // namespace vur::test
