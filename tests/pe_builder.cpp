#include "pe_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vur::test {
namespace {

constexpr std::size_t kPeAt = 0x80;
constexpr std::size_t kFileAlign = 0x200;
constexpr std::uint32_t kSectionAlign = 0x1000;
constexpr std::uint32_t kTextRva = 0x1000;
constexpr std::uint32_t kRsrcRva = 0x2000;

std::size_t Align(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

void Append16(Bytes* out, std::uint16_t v) {
  out->push_back(static_cast<std::uint8_t>(v));
  out->push_back(static_cast<std::uint8_t>(v >> 8));
}

void Append32(Bytes* out, std::uint32_t v) {
  Append16(out, static_cast<std::uint16_t>(v));
  Append16(out, static_cast<std::uint16_t>(v >> 16));
}

void Pad4(Bytes* out) {
  while (out->size() % 4 != 0) out->push_back(0);
}

// One block of a version resource: length, value length, type, UTF-16LE key,
// padding, value, padded children.
Bytes Block(const char* key, const Bytes& value, std::uint16_t type, const std::vector<Bytes>& children) {
  Bytes b(6, 0);
  for (const char* k = key; *k; ++k) Append16(&b, static_cast<std::uint8_t>(*k));
  Append16(&b, 0);
  Pad4(&b);
  b.insert(b.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    Pad4(&b);
    b.insert(b.end(), child.begin(), child.end());
  }
  Put16(&b, 0, static_cast<std::uint16_t>(b.size()));
  Put16(&b, 2, static_cast<std::uint16_t>(value.size()));
  Put16(&b, 4, type);
  return b;
}

Bytes FixedInfo(const Version& v) {
  Bytes f;
  std::uint32_t ms = (std::uint32_t{v[0]} << 16) | v[1];
  std::uint32_t ls = (std::uint32_t{v[2]} << 16) | v[3];
  for (std::uint32_t word : {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3fu, 0u, 0x40004u, 1u, 0u,
                             0u, 0u}) {
    Append32(&f, word);
  }
  return f;
}

struct Name {
  std::uint16_t id;
  std::string text;  // empty: named by id
  bool operator==(const Name& other) const { return id == other.id && text == other.text; }
};

struct Sorted {
  std::uint16_t type;
  std::vector<std::pair<Name, std::vector<const Resource*>>> names;
};

std::vector<Sorted> Group(const std::vector<Resource>& resources, bool sorted) {
  std::vector<Sorted> types;
  for (const Resource& r : resources) {
    auto t = std::find_if(types.begin(), types.end(), [&](const Sorted& s) { return s.type == r.type; });
    if (t == types.end()) t = types.insert(types.end(), Sorted{r.type, {}});
    Name name{r.name_text.empty() ? r.name : std::uint16_t{0}, r.name_text};
    auto n = std::find_if(t->names.begin(), t->names.end(),
                          [&](const auto& p) { return p.first == name; });
    if (n == t->names.end()) n = t->names.insert(t->names.end(), {name, {}});
    n->second.push_back(&r);
  }
  std::stable_sort(types.begin(), types.end(),
                   [](const Sorted& a, const Sorted& b) { return a.type < b.type; });
  // Named entries first, in the order given; then ids and languages,
  // ascending unless told otherwise.
  for (Sorted& t : types) {
    auto ids = std::stable_partition(t.names.begin(), t.names.end(),
                                     [](const auto& p) { return !p.first.text.empty(); });
    if (!sorted) continue;
    std::stable_sort(ids, t.names.end(),
                     [](const auto& a, const auto& b) { return a.first.id < b.first.id; });
    for (auto& n : t.names) {
      std::stable_sort(n.second.begin(), n.second.end(),
                       [](const Resource* a, const Resource* b) { return a->language < b->language; });
    }
  }
  return types;
}

void DirHeader(Bytes* out, std::size_t at, std::size_t named_entries, std::size_t id_entries) {
  Put16(out, at + 12, static_cast<std::uint16_t>(named_entries));
  Put16(out, at + 14, static_cast<std::uint16_t>(id_entries));
}

void DirEntryAt(Bytes* out, std::size_t at, std::uint32_t id, std::uint32_t target, bool dir) {
  Put32(out, at, id);
  Put32(out, at + 4, target | (dir ? 0x80000000u : 0));
}

// The .rsrc section's bytes: all directories, then the name strings, then the
// data entries, then the data. `layout` offsets are relative to the section here.
Bytes ResourceSection(const std::vector<Resource>& resources, bool sorted, PeLayout* layout) {
  std::vector<Sorted> types = Group(resources, sorted);
  std::size_t size = 16 + 8 * types.size();
  for (const Sorted& t : types) size += 16 + 8 * t.names.size();
  for (const Sorted& t : types) {
    for (const auto& n : t.names) size += 16 + 8 * n.second.size();
  }
  std::size_t strings_at = size;
  for (const Sorted& t : types) {
    for (const auto& n : t.names) {
      if (!n.first.text.empty()) size += 2 + 2 * n.first.text.size();
    }
  }
  size = Align(size, 4);
  std::size_t entries_at = size;
  size += 16 * resources.size();
  Bytes out(size, 0);

  DirHeader(&out, 0, 0, types.size());
  std::size_t name_dir = 16 + 8 * types.size();
  std::size_t lang_dir = name_dir;
  for (const Sorted& t : types) lang_dir += 16 + 8 * t.names.size();
  std::size_t entry = entries_at;
  std::size_t string = strings_at;
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    const Sorted& t = types[ti];
    DirEntryAt(&out, 16 + 8 * ti, t.type, static_cast<std::uint32_t>(name_dir), true);
    if (t.type == kRtVersion && layout->version_type_entry == 0) {
      layout->version_type_entry = 16 + 8 * ti;
      layout->version_name_dir = name_dir;
      layout->version_language_dir = lang_dir;
      layout->version_data_entry = entry;
    }
    std::size_t named = 0;
    for (const auto& n : t.names) named += n.first.text.empty() ? 0 : 1;
    DirHeader(&out, name_dir, named, t.names.size() - named);
    for (std::size_t ni = 0; ni < t.names.size(); ++ni) {
      const Name& name = t.names[ni].first;
      const auto& langs = t.names[ni].second;
      std::uint32_t name_field = name.id;
      if (!name.text.empty()) {
        name_field = 0x80000000u | static_cast<std::uint32_t>(string);
        Put16(&out, string, static_cast<std::uint16_t>(name.text.size()));
        for (std::size_t k = 0; k < name.text.size(); ++k)
          Put16(&out, string + 2 + 2 * k, static_cast<std::uint8_t>(name.text[k]));
        string += 2 + 2 * name.text.size();
      }
      DirEntryAt(&out, name_dir + 16 + 8 * ni, name_field, static_cast<std::uint32_t>(lang_dir), true);
      DirHeader(&out, lang_dir, 0, langs.size());
      for (std::size_t li = 0; li < langs.size(); ++li) {
        DirEntryAt(&out, lang_dir + 16 + 8 * li, langs[li]->language, static_cast<std::uint32_t>(entry), false);
        out.resize(Align(out.size(), 8));
        std::size_t data_at = out.size();
        out.insert(out.end(), langs[li]->data.begin(), langs[li]->data.end());
        Put32(&out, entry, static_cast<std::uint32_t>(kRsrcRva + data_at));
        Put32(&out, entry + 4, static_cast<std::uint32_t>(langs[li]->data.size()));
        if (entry == layout->version_data_entry && t.type == kRtVersion) layout->version_data = data_at;
        entry += 16;
      }
      lang_dir += 16 + 8 * langs.size();
    }
    name_dir += 16 + 8 * t.names.size();
  }
  return out;
}

void SectionHeader(Bytes* image, std::size_t at, const char* name, std::uint32_t virtual_size,
                   std::uint32_t rva, std::uint32_t raw_size, std::uint32_t raw_at, std::uint32_t flags) {
  std::memcpy(image->data() + at, name, std::strlen(name));
  Put32(image, at + 8, virtual_size);
  Put32(image, at + 12, rva);
  Put32(image, at + 16, raw_size);
  Put32(image, at + 20, raw_at);
  Put32(image, at + 36, flags);
}

}  // namespace

void Put16(Bytes* image, std::size_t at, std::uint16_t value) {
  (*image)[at] = static_cast<std::uint8_t>(value);
  (*image)[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes* image, std::size_t at, std::uint32_t value) {
  Put16(image, at, static_cast<std::uint16_t>(value));
  Put16(image, at + 2, static_cast<std::uint16_t>(value >> 16));
}

Bytes VersionBlock(const Version& version, std::uint16_t language) {
  Bytes translation;
  Append16(&translation, language);
  Append16(&translation, 1200);
  Bytes var = Block("Translation", translation, 0, {});
  Bytes var_info = Block("VarFileInfo", {}, 1, {var});
  return Block("VS_VERSION_INFO", FixedInfo(version), 0, {var_info});
}

Bytes VersionBlock16(const Version& version) {
  Bytes b(4, 0);
  for (const char* k = "VS_VERSION_INFO"; *k; ++k) b.push_back(static_cast<std::uint8_t>(*k));
  b.push_back(0);
  Pad4(&b);
  Bytes fixed = FixedInfo(version);
  b.insert(b.end(), fixed.begin(), fixed.end());
  Put16(&b, 0, static_cast<std::uint16_t>(b.size()));
  Put16(&b, 2, static_cast<std::uint16_t>(fixed.size()));
  return b;
}

Bytes BuildPe(const PeOptions& options, PeLayout* layout) {
  PeLayout local;
  if (layout == nullptr) layout = &local;
  *layout = PeLayout{};
  const bool plus = options.pe32plus;
  const std::size_t optional_size = plus ? 240 : 224;
  const std::size_t sections = options.resource_section ? 2 : 1;

  Bytes rsrc;
  if (options.resource_section) rsrc = ResourceSection(options.resources, options.sorted, layout);
  const std::size_t text_raw = kFileAlign;
  const std::size_t rsrc_raw = text_raw + kFileAlign;
  const std::size_t rsrc_raw_size = Align(rsrc.size(), kFileAlign);
  std::size_t image_size = kRsrcRva + (options.resource_section ? Align(rsrc.size(), kSectionAlign) : 0);
  Bytes image(rsrc_raw + rsrc_raw_size, 0);

  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3c, kPeAt);
  std::memcpy(image.data() + kPeAt, "PE\0\0", 4);
  std::size_t coff = kPeAt + 4;
  Put16(&image, coff, plus ? 0x8664 : 0x14c);
  Put16(&image, coff + 2, static_cast<std::uint16_t>(sections));
  Put16(&image, coff + 16, static_cast<std::uint16_t>(optional_size));
  Put16(&image, coff + 18, plus ? 0x0022 : 0x0102);  // executable; 32-bit machine or large addresses

  std::size_t opt = coff + 20;
  Put16(&image, opt, plus ? 0x20b : 0x10b);
  image[opt + 2] = 2;  // linker version
  Put32(&image, opt + 4, static_cast<std::uint32_t>(kFileAlign));  // size of code
  Put32(&image, opt + 8, static_cast<std::uint32_t>(rsrc_raw_size));
  Put32(&image, opt + 16, kTextRva);  // entry point: the ret in .text
  Put32(&image, opt + 20, kTextRva);
  if (plus) {
    Put32(&image, opt + 24, 0x40000000);  // image base, low half
    Put32(&image, opt + 28, 0x1);
  } else {
    Put32(&image, opt + 24, kRsrcRva);  // base of data
    Put32(&image, opt + 28, 0x400000);
  }
  Put32(&image, opt + 32, kSectionAlign);
  Put32(&image, opt + 36, static_cast<std::uint32_t>(kFileAlign));
  Put16(&image, opt + 40, plus ? 5 : 4);  // OS version
  Put16(&image, opt + 48, plus ? 5 : 4);  // subsystem version
  Put16(&image, opt + 50, plus ? 2 : 0);
  Put32(&image, opt + 56, static_cast<std::uint32_t>(image_size));
  Put32(&image, opt + 60, static_cast<std::uint32_t>(kFileAlign));  // size of headers
  Put16(&image, opt + 68, 3);  // console
  std::size_t stack = opt + 72;
  std::size_t step = plus ? 8 : 4;
  Put32(&image, stack, 0x100000);
  Put32(&image, stack + step, 0x1000);
  Put32(&image, stack + 2 * step, 0x100000);
  Put32(&image, stack + 3 * step, 0x1000);
  std::size_t dirs = opt + (plus ? 112 : 96);
  Put32(&image, dirs - 4, 16);  // number of data directories
  layout->pe_header = kPeAt;
  layout->optional_header = opt;
  layout->resource_dir_entry = dirs + 2 * 8;
  if (options.resource_section) {
    Put32(&image, dirs + 2 * 8, kRsrcRva);
    Put32(&image, dirs + 2 * 8 + 4, static_cast<std::uint32_t>(rsrc.size()));
  }

  std::size_t table = opt + optional_size;
  layout->section_table = table;
  SectionHeader(&image, table, ".text", 1, kTextRva, kFileAlign, static_cast<std::uint32_t>(text_raw),
                0x60000020);
  image[text_raw] = 0xc3;
  if (options.resource_section) {
    layout->rsrc_section = table + 40;
    SectionHeader(&image, table + 40, ".rsrc", static_cast<std::uint32_t>(rsrc.size()), kRsrcRva,
                  static_cast<std::uint32_t>(rsrc_raw_size), static_cast<std::uint32_t>(rsrc_raw),
                  0x40000040);
    std::copy(rsrc.begin(), rsrc.end(), image.begin() + static_cast<std::ptrdiff_t>(rsrc_raw));
    layout->rsrc_raw = rsrc_raw;
    layout->rsrc_rva = kRsrcRva;
    for (std::size_t* f : {&layout->version_type_entry, &layout->version_name_dir,
                           &layout->version_language_dir, &layout->version_data_entry,
                           &layout->version_data}) {
      if (*f != 0) *f += rsrc_raw;
    }
  }
  return image;
}

void DamageResources(Bytes* image, const PeLayout& layout, Damage damage) {
  constexpr std::uint32_t kFar = 0x7FFF0000;
  switch (damage) {
    case Damage::kDataEntryOutside:
      Put32(image, layout.version_language_dir + 16 + 4, kFar);
      break;
    case Damage::kDirectoryOutside:
      Put32(image, layout.version_type_entry + 4, 0x80000000u | kFar);
      break;
    case Damage::kHugeDataAtEnd: {
      // The section's raw data moves to a page boundary and grows to the end
      // of the padded file, so that the data's last byte is the file's last
      // and, mapped as an image, the image's: the claimed size runs off the
      // mapping whichever way a reader maps the file.
      const std::size_t raw_at = Align(layout.rsrc_raw, kSectionAlign);
      const std::size_t shift = raw_at - layout.rsrc_raw;
      image->insert(image->begin() + static_cast<std::ptrdiff_t>(layout.rsrc_raw), shift, 0);
      std::size_t size = Align(image->size() + 16, kSectionAlign);
      image->resize(size, 0);
      auto raw = static_cast<std::uint32_t>(size - raw_at);
      Put32(image, layout.rsrc_section + 8, raw);
      Put32(image, layout.rsrc_section + 16, raw);
      Put32(image, layout.rsrc_section + 20, static_cast<std::uint32_t>(raw_at));
      Put32(image, layout.optional_header + 56, kRsrcRva + raw);
      Put32(image, layout.version_data_entry + shift, kRsrcRva + raw - 16);
      Put32(image, layout.version_data_entry + shift + 4, 0x7FFFFFFF);
      break;
    }
  }
}

Bytes BuildPeWithVersion(const Version& version, bool pe32plus, PeLayout* layout) {
  PeOptions options;
  options.pe32plus = pe32plus;
  options.resources.push_back({kRtVersion, 1, 0x409, VersionBlock(version)});
  return BuildPe(options, layout);
}

Bytes BuildNe(const Bytes& version_resource) {
  constexpr std::size_t kNeAt = 0x40;
  constexpr std::size_t kTableAt = kNeAt + 0x40;
  constexpr std::size_t kDataAt = 0x100;
  constexpr unsigned kShift = 4;
  // Sized whole before the resource is copied in: inserting it at the end of a
  // vector of constant size makes GCC 12 see a copy past that size
  // (-Warray-bounds) that never happens.
  Bytes image(kDataAt + version_resource.size(), 0);
  std::copy(version_resource.begin(), version_resource.end(), image.begin() + kDataAt);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3c, kNeAt);
  image[kNeAt] = 'N';
  image[kNeAt + 1] = 'E';
  std::size_t t = kTableAt;
  Put16(&image, t, kShift);
  Put16(&image, t + 2, 0x8010);
  Put16(&image, t + 4, 1);
  Put16(&image, t + 10, static_cast<std::uint16_t>(kDataAt >> kShift));
  Put16(&image, t + 12, static_cast<std::uint16_t>((version_resource.size() + 15) >> kShift));
  Put16(&image, t + 14, 0x30);
  Put16(&image, t + 16, 0x8001);
  // t + 22: the table's terminating zero type; then the resident name table.
  Put16(&image, kNeAt + 0x24, static_cast<std::uint16_t>(kTableAt - kNeAt));
  Put16(&image, kNeAt + 0x26, static_cast<std::uint16_t>(t + 24 - kNeAt));
  image.resize(Align(image.size(), 16));
  return image;
}

bool ParseVersion(const std::string& text, Version* version) {
  const char* p = text.c_str();
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    if (*p < '0' || *p > '9') return false;
    unsigned long part = std::strtoul(p, &end, 10);
    if (part > 0xffff || *end != (i < 3 ? '.' : '\0')) return false;
    (*version)[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(part);
    p = end + (i < 3 ? 1 : 0);
  }
  return true;
}

bool WriteBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace vur::test
