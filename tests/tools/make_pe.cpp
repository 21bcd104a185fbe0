// make_pe OUT.exe a.b.c.d [--pe32plus] [--none]
// Writes a small PE image whose version resource carries a.b.c.d (file and
// product version). --none leaves out the resource section altogether.
#include <cstdio>
#include <cstring>
#include <string>

#include "pe_builder.h"

int main(int argc, char** argv) {
  vur::test::PeOptions options;
  vur::test::Version version{};
  if (argc < 3 || !vur::test::ParseVersion(argv[2], &version)) {
    std::fprintf(stderr, "usage: make_pe OUT.exe a.b.c.d [--pe32plus] [--none]\n");
    return 2;
  }
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pe32plus") == 0) {
      options.pe32plus = true;
    } else if (std::strcmp(argv[i], "--none") == 0) {
      options.resource_section = false;
    } else {
      std::fprintf(stderr, "make_pe: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  options.resources.push_back({vur::test::kRtVersion, 1, 0x409, vur::test::VersionBlock(version)});
  if (!vur::test::WriteBytes(argv[1], vur::test::BuildPe(options))) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
