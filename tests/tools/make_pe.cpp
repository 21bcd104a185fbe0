// make_pe OUT.exe a.b.c.d [options]
// Writes a small PE image whose version resource carries a.b.c.d (file and
// product version), or a 16-bit NE image with --ne. Options shape the
// resource directory for the differential check against Windows' reader:
//   --pe32plus            a PE32+ image
//   --none                no resource section at all
//   --lang L              the language of the version resource (default 0x409)
//   --name N|TEXT         its name: an id, or a text (default the id 1)
//   --extra NAME:LANG:a.b.c.d
//                         another RT_VERSION resource, laid out before it
//   --type-high H         garbage in the upper 16 bits of the RT_VERSION id
//   --unsorted            ids and languages in the order given, not ascending
//   --pad N               N zero bytes after the version block, in its resource
//   --damage KIND         break the resource directory: entry-outside,
//                         data-at-end or directory-outside (see pe_builder.h)
//   --entry-size N        the version resource's data entry states N bytes,
//                         whatever the block's real length
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pe_builder.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: make_pe OUT.exe a.b.c.d [--pe32plus] [--none] [--ne] [--lang L]\n"
               "               [--name N|TEXT] [--extra NAME:LANG:a.b.c.d]... [--type-high H]\n"
               "               [--unsorted] [--pad N]\n"
               "               [--damage entry-outside|data-at-end|directory-outside]\n"
               "               [--entry-size N]\n");
  return 2;
}

// NAME is an id when it is all digits, else a text.
void SetName(vur::test::Resource* r, const std::string& name) {
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
    r->name = static_cast<std::uint16_t>(std::strtoul(name.c_str(), nullptr, 0));
  } else {
    r->name_text = name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  vur::test::PeOptions options;
  vur::test::Version version{};
  if (argc < 3 || !vur::test::ParseVersion(argv[2], &version)) return Usage();
  vur::test::Resource main_resource;
  bool ne = false;
  long type_high = -1;
  std::size_t pad = 0;
  const char* damage = nullptr;
  long entry_size = -1;
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--pe32plus") {
      options.pe32plus = true;
    } else if (arg == "--none") {
      options.resource_section = false;
    } else if (arg == "--ne") {
      ne = true;
    } else if (arg == "--pad" && has_value) {
      pad = std::strtoul(argv[++i], nullptr, 0);
    } else if (arg == "--entry-size" && has_value) {
      entry_size = std::strtol(argv[++i], nullptr, 0);
    } else if (arg == "--damage" && has_value) {
      damage = argv[++i];
    } else if (arg == "--unsorted") {
      options.sorted = false;
    } else if (arg == "--lang" && has_value) {
      main_resource.language = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (arg == "--name" && has_value) {
      SetName(&main_resource, argv[++i]);
    } else if (arg == "--type-high" && has_value) {
      type_high = std::strtol(argv[++i], nullptr, 0);
    } else if (arg == "--extra" && has_value) {
      std::string arg_value = argv[++i];
      std::size_t a = arg_value.find(':'), b = arg_value.find(':', a == std::string::npos ? a : a + 1);
      vur::test::Version extra_version{};
      if (a == std::string::npos || b == std::string::npos ||
          !vur::test::ParseVersion(arg_value.substr(b + 1), &extra_version)) {
        return Usage();
      }
      vur::test::Resource extra;
      SetName(&extra, arg_value.substr(0, a));
      extra.language = static_cast<std::uint16_t>(std::strtoul(arg_value.substr(a + 1, b - a - 1).c_str(), nullptr, 0));
      extra.data = vur::test::VersionBlock(extra_version, extra.language);
      options.resources.push_back(extra);
    } else {
      std::fprintf(stderr, "make_pe: unknown option %s\n", arg.c_str());
      return Usage();
    }
  }
  main_resource.data = vur::test::VersionBlock(version, main_resource.language);
  main_resource.data.resize(main_resource.data.size() + pad, 0);
  options.resources.push_back(main_resource);
  vur::test::PeLayout layout;
  vur::test::Bytes block16 = vur::test::VersionBlock16(version);
  block16.resize(block16.size() + pad, 0);
  vur::test::Bytes image = ne ? vur::test::BuildNe(block16) : vur::test::BuildPe(options, &layout);
  if (type_high >= 0 && !ne && layout.version_type_entry != 0) {
    vur::test::Put16(&image, layout.version_type_entry + 2, static_cast<std::uint16_t>(type_high));
  }
  if (entry_size >= 0) {
    if (ne || layout.version_data_entry == 0) return Usage();
    // IMAGE_RESOURCE_DATA_ENTRY: the data's RVA, then its size.
    vur::test::Put32(&image, layout.version_data_entry + 4, static_cast<std::uint32_t>(entry_size));
  }
  if (damage != nullptr) {
    const std::string kind = damage;
    if (ne || layout.version_type_entry == 0) return Usage();
    if (kind == "entry-outside") {
      vur::test::DamageResources(&image, layout, vur::test::Damage::kDataEntryOutside);
    } else if (kind == "data-at-end") {
      vur::test::DamageResources(&image, layout, vur::test::Damage::kHugeDataAtEnd);
    } else if (kind == "directory-outside") {
      vur::test::DamageResources(&image, layout, vur::test::Damage::kDirectoryOutside);
    } else {
      return Usage();
    }
  }
  if (!vur::test::WriteBytes(argv[1], image)) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
