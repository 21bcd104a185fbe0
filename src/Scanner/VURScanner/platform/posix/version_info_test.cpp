// GetFileVersionInfoSizeW / GetFileVersionInfoW / VerQueryValueW on images
// built by tests/pe_builder, written under a temporary drive D:.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/version_info_reader.h"
#include "platform/win32.h"

namespace {

using vur::test::Bytes;
using vur::test::BuildPe;
using vur::test::BuildPeWithVersion;
using vur::test::PeLayout;
using vur::test::PeOptions;
using vur::test::Put16;
using vur::test::Put32;
using vur::test::VersionBlock;

std::string Probe(const std::wstring& path, DWORD buffer = 0);

// One image and the line Probe should give for it.
struct Case {
  const char* name;
  Bytes image;
  std::string expected;
};

class VersionInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vur_version_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    ASSERT_EQ(mkdir((root_ + "/d").c_str(), 0755), 0);
    ASSERT_TRUE(vur::test::WriteBytes(root_ + "/drives", Text("D: fixed " + root_ + "/d\n")));
    setenv("VURSCANNER_ROOT", root_.c_str(), 1);
    vur::posix::testing::Reset();
  }

  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    unsetenv("VURSCANNER_ROOT");
    vur::posix::testing::Reset();
  }

  static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

  // Writes `bytes` as D:\<name> and returns the Windows path.
  std::wstring Put(const std::string& name, const Bytes& bytes) {
    EXPECT_TRUE(vur::test::WriteBytes(root_ + "/d/" + name, bytes));
    return L"D:\\" + std::wstring(name.begin(), name.end());
  }

  void ExpectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      EXPECT_EQ(c.expected, Probe(Put(std::string(c.name) + ".exe", c.image))) << c.name;
    }
  }

  std::string root_;
};

std::string VersionText(const VS_FIXEDFILEINFO& f) {
  return std::to_string(HIWORD(f.dwFileVersionMS)) + "." + std::to_string(LOWORD(f.dwFileVersionMS)) +
         "." + std::to_string(HIWORD(f.dwFileVersionLS)) + "." +
         std::to_string(LOWORD(f.dwFileVersionLS));
}

// What the scanner's core sees for one file, as one line: the size call's
// result and code, then what VerQueryValueW gives for "\" (its length, and
// the version when the value is a whole VS_FIXEDFILEINFO with its signature).
// `buffer` 0 means a buffer of the size the size call returned. The buffer
// is exactly that large, so ASan catches any read past it.
std::string Probe(const std::wstring& path, DWORD buffer) {
  DWORD handle = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  DWORD size_error = GetLastError();
  if (handle != 0) return "handle not cleared";
  if (size == 0) {
    std::vector<unsigned char> data(16);
    SetLastError(0xdeadbeef);
    BOOL read = GetFileVersionInfoW(path.c_str(), 0, 16, data.data());
    if (read || GetLastError() != size_error) {
      return "size error " + std::to_string(size_error) + " but read error " +
             std::to_string(GetLastError());
    }
    return "error " + std::to_string(size_error);
  }
  std::string out = "size " + std::to_string(size) + " code " + std::to_string(size_error);
  std::vector<unsigned char> data(buffer != 0 ? buffer : size);
  SetLastError(0xdeadbeef);
  if (!GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
    return out + ", read error " + std::to_string(GetLastError());
  }
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &value, &length)) {
    return out + ", query error " + std::to_string(GetLastError());
  }
  out += ", len " + std::to_string(length);
  if (length >= sizeof(VS_FIXEDFILEINFO)) {
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, value, sizeof info);
    out += info.dwSignature == 0xFEEF04BD ? ", " + VersionText(info) : ", bad signature";
  }
  return out;
}

Bytes Resize(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

Bytes Damaged(Bytes image, const PeLayout& layout, vur::test::Damage damage) {
  vur::test::DamageResources(&image, layout, damage);
  return image;
}

Bytes WithLanguages(bool pe32plus, std::uint16_t second = 0x409) {
  PeOptions o;
  o.pe32plus = pe32plus;
  o.resources = {{vur::test::kRtRcdata, 7, 0, {1, 2, 3, 4}},
                 {16, 1, 0x407, VersionBlock({2, 0, 0, 7}, 0x407)},
                 {16, 1, second, VersionBlock({2, 0, 0, 9})},
                 {16, 2, 0x409, VersionBlock({3, 0, 0, 0})}};
  return BuildPe(o);
}

TEST_F(VersionInfoTest, ReadsVersionOfValidImages) {
  Bytes ne = vur::test::BuildNe(vur::test::VersionBlock16({3, 10, 0, 103}));
  ExpectAll({
                {"pe32", BuildPeWithVersion({6, 1, 7600, 16385}), "size 324 code 0, len 52, 6.1.7600.16385"},
                {"pe32plus", BuildPeWithVersion({6, 1, 7600, 16385}, true),
                 "size 324 code 0, len 52, 6.1.7600.16385"},
                {"zero", BuildPeWithVersion({0, 0, 0, 0}), "size 324 code 0, len 52, 0.0.0.0"},
                {"max", BuildPeWithVersion({65535, 65535, 65535, 65535}, true),
                 "size 324 code 0, len 52, 65535.65535.65535.65535"},
                // Id 1 beside id 2, after an RCDATA type; of its languages US
                // English wins over German, as on an English system, and else
                // the first.
                {"languages", WithLanguages(false), "size 324 code 0, len 52, 2.0.0.9"},
                {"languages64", WithLanguages(true), "size 324 code 0, len 52, 2.0.0.9"},
                {"neutral_first", WithLanguages(false, 0x000), "size 324 code 0, len 52, 2.0.0.9"},
                {"other_languages", WithLanguages(false, 0x40c), "size 324 code 0, len 52, 2.0.0.7"},
                // 16-bit layout: the resource is the table's length rounded to
                // 16 bytes (80), and the size call gives 4 x (80 - 52).
                {"ne", ne, "size 112 code 0, len 52, 3.10.0.103"},
            });
}

// Which of several version resources is the file's version. Windows reads
// RT_VERSION / id 1 / a language chosen by the user's and the system's
// languages, finding ids by binary search in the sorted id entries. The
// expectations were measured against Wine's version.dll (x64 and WoW64, an
// English system), which agrees on every case; they are what Windows' loader
// gives by the same rules.
TEST_F(VersionInfoTest, WhichVersionResourceIsRead) {
  auto image = [](std::vector<vur::test::Resource> resources, bool sorted = true) {
    PeOptions o;
    o.sorted = sorted;
    for (vur::test::Resource& r : resources) {
      if (r.data.empty()) r.data = VersionBlock({1, 2, 3, 4}, r.language);
    }
    o.resources = std::move(resources);
    return BuildPe(o);
  };
  auto version = [](const vur::test::Version& v, std::uint16_t language = 0x409) {
    return VersionBlock(v, language);
  };
  // A version resource; without data it carries 1.2.3.4.
  auto res = [](std::uint16_t name, std::uint16_t language, Bytes data = {}) {
    return vur::test::Resource{16, name, language, std::move(data)};
  };
  const std::string k1234 = "size 324 code 0, len 52, 1.2.3.4";
  const std::string k9999 = "size 324 code 0, len 52, 9.9.9.9";
  const std::string k1813 = "error 1813";
  vur::test::Resource named{16, 0, 0x409, version({9, 9, 9, 9}), "VERSION"};
  PeLayout l;
  Bytes high_type = BuildPeWithVersion({1, 2, 3, 4}, false, &l);
  Put16(&high_type, l.version_type_entry + 2, 0xab);  // type 0x00ab0010
  Bytes ne_other_id = vur::test::BuildNe(vur::test::VersionBlock16({1, 2, 3, 4}));
  Put16(&ne_other_id, 0x90, 0x8002);  // the resource's id: 2, not 1
  ExpectAll({
      {"named_beside_1", image({named, res(1, 0x409)}), k1234},
      {"named_only", image({named}), k1813},
      {"id_2_only", image({res(2, 0x409)}), k1813},
      {"id_1_before_2", image({res(2, 0x409), res(1, 0x409, version({9, 9, 9, 9}))}), k9999},
      // Unsorted ids: the binary search misses id 1, as Windows' does.
      {"ids_unsorted", image({res(2, 0x409), res(1, 0x409, version({9, 9, 9, 9}))}, false), k1813},
      // An id is its entry's low 16 bits.
      {"type_with_high_bits", high_type, k1234},
      {"lang_default_beside_us", image({res(1, 0x400, version({9, 9, 9, 9}, 0x400)), res(1, 0x409)}), k1234},
      {"lang_neutral_beside_us", image({res(1, 0x000, version({9, 9, 9, 9}, 0)), res(1, 0x409)}), k9999},
      {"lang_english_beside_other", image({res(1, 0x007), res(1, 0x009, version({9, 9, 9, 9}, 9))}), k9999},
      {"lang_none_preferred", image({res(1, 0x407, version({9, 9, 9, 9}, 0x407)), res(1, 0x800)}), k9999},
      {"lang_default_first", image({res(1, 0x400, version({9, 9, 9, 9}, 0x400)), res(1, 0x407)}), k9999},
      {"ne_without_id_1", ne_other_id, k1813},
  });
}

// A source of `size` bytes, zero but for `head` at its start: a multi-
// gigabyte image without the gigabytes.
class SparseSource : public vur::posix::ByteSource {
 public:
  SparseSource(Bytes head, std::uint64_t size) : head_(std::move(head)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* out, std::size_t n) const override {
    if (offset > size_ || n > size_ - offset) return false;
    auto* o = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < n; ++i)
      o[i] = offset + i < head_.size() ? head_[static_cast<std::size_t>(offset + i)] : 0;
    return true;
  }

 private:
  Bytes head_;
  std::uint64_t size_;
};

// Lengths at the 32-bit boundary: the size call's arithmetic is done in 64
// bits, and a resource whose size it can't state is refused, never wrapped.
TEST(VersionInfoSizeTest, LengthsAtThe32BitBoundary) {
  using vur::posix::ResourceLocation;
  using vur::posix::VersionInfoSize;
  struct Case {
    std::uint64_t length;
    bool sixteen_bit;
    bool fits;
    DWORD size;
  } cases[] = {
      {2, false, true, 8},
      {160, false, true, 324},
      {0x7ffffffd, false, true, 0xfffffffe},
      {0x7ffffffe, false, false, 0},
      {0x100000001, false, false, 0},
      {51, true, false, 0},
      {52, true, true, 0},
      {80, true, true, 112},
      {0x40000033, true, true, 0xfffffffc},
      {0x40000034, true, false, 0},
      {0xffff000000, true, false, 0},
  };
  for (const Case& c : cases) {
    ResourceLocation where;
    where.size = c.length;
    where.sixteen_bit = c.sixteen_bit;
    DWORD size = 0xdeadbeef;
    EXPECT_EQ(c.fits, VersionInfoSize(where, &size)) << c.length << " " << c.sixteen_bit;
    if (c.fits) {
      EXPECT_EQ(c.size, size) << c.length;
    }
  }

  // A 16-bit image whose resource table claims 0x0101 << 24 bytes: the
  // resource runs to the end of a file of 4 GiB and more, whose length no
  // longer fits 32 bits, and is refused. A smaller one is found.
  Bytes ne = vur::test::BuildNe(vur::test::VersionBlock16({1, 2, 3, 4}));
  auto located = [&](std::uint16_t shift, std::uint16_t length_units, std::uint64_t file_size,
                     ResourceLocation* where) {
    Bytes head = ne;
    Put16(&head, 0x80, shift);             // alignment shift
    Put16(&head, 0x8a, 1);                 // offset: 1 << shift
    Put16(&head, 0x8c, length_units);      // length in units
    return vur::posix::LocateVersionResource(SparseSource(head, file_size), where);
  };
  ResourceLocation where;
  EXPECT_EQ(ERROR_RESOURCE_DATA_NOT_FOUND,
            located(24, 0x0101, (std::uint64_t{1} << 24) + (std::uint64_t{1} << 32) + 1, &where));
  EXPECT_EQ(ERROR_RESOURCE_DATA_NOT_FOUND, located(16, 0xffff, std::uint64_t{5} << 30, &where));
  ASSERT_EQ(0u, located(14, 0xffff, std::uint64_t{5} << 30, &where));
  EXPECT_EQ(std::uint64_t{0xffff} << 14, where.size);
  EXPECT_EQ(std::uint64_t{1} << 14, where.offset);
  EXPECT_TRUE(where.sixteen_bit);
}

// The probe of a file whose resource is refused leaves nothing of the file
// before it: a 16-bit image over 4 GiB, probed after a PE with a version.
TEST_F(VersionInfoTest, HugeSixteenBitResourceIsRefusedOnDisk) {
  std::wstring good = Put("good.exe", BuildPeWithVersion({7, 7, 7, 7}));
  Bytes ne = vur::test::BuildNe(vur::test::VersionBlock16({1, 2, 3, 4}));
  Put16(&ne, 0x80, 24);
  Put16(&ne, 0x8a, 1);
  Put16(&ne, 0x8c, 0x0101);
  std::string native = root_ + "/d/huge.exe";
  ASSERT_TRUE(vur::test::WriteBytes(native, ne));
  ASSERT_EQ(truncate(native.c_str(), (off_t{1} << 24) + (off_t{1} << 32) + 1), 0);
  EXPECT_EQ("size 324 code 0, len 52, 7.7.7.7", Probe(good));
  EXPECT_EQ("error 1812", Probe(L"D:\\huge.exe"));
}

TEST_F(VersionInfoTest, MalformedImagesGiveResourceCodes) {
  PeLayout l;
  Bytes good = BuildPeWithVersion({1, 2, 3, 4}, false, &l);
  auto patch32 = [&](std::size_t at, std::uint32_t v) {
    Bytes b = good;
    Put32(&b, at, v);
    return b;
  };
  auto patch16 = [&](std::size_t at, std::uint16_t v) {
    Bytes b = good;
    Put16(&b, at, v);
    return b;
  };
  PeOptions none;
  none.resource_section = false;
  PeOptions other;
  other.resources = {{vur::test::kRtRcdata, 1, 0x409, {1, 2, 3, 4}}, {6, 1, 0x409, {0, 0}}};
  PeOptions tiny;
  tiny.resources = {{16, 1, 0x409, {}}};
  PeOptions one;
  one.resources = {{16, 1, 0x409, {4}}};
  const std::string k1812 = "error 1812";
  const std::string k1813 = "error 1813";
  std::size_t coff = l.pe_header + 4;
  std::size_t rsrc = l.rsrc_section;
  ExpectAll({
          {"no_rsrc", BuildPe(none), k1812},
          {"other_types", BuildPe(other), k1813},
          {"empty", {}, k1812},
          {"mz_only", Text("MZ"), k1812},
          {"text", Text("This is not a program.\r\nJust text, long enough to pass 64 bytes of DOS header.\r\n"), k1812},
          {"first_100_bytes", Resize(good, 100), k1812},
          {"cut_in_sections", Resize(good, l.section_table + 50), k1812},
          {"cut_in_rsrc", Resize(good, l.version_data + 20), k1812},
          {"bad_pe_sig", patch32(l.pe_header, 0x00004550 + 1), k1812},
          {"lfanew_past_end", patch32(0x3c, 0xfffffff0), k1812},
          {"rom_magic", patch16(l.optional_header, 0x107), k1812},
          {"two_directories", patch32(l.resource_dir_entry - 2 * 8 - 4, 2), k1812},
          {"optional_too_small", patch16(coff + 16, 96), k1812},
          {"no_rsrc_rva", patch32(l.resource_dir_entry, 0), k1812},
          {"rsrc_rva_outside_sections", patch32(l.resource_dir_entry, 0x90000), k1812},
          {"rsrc_raw_past_end", patch32(rsrc + 20, 0x7ffffe00), k1812},
          // A section claiming more bytes than the file has is fine while what is read is there.
          {"rsrc_raw_size_huge", patch32(rsrc + 16, 0xffffffff), "size 324 code 0, len 52, 1.2.3.4"},
          {"many_sections_cut", patch16(coff + 2, 0xffff), k1812},
          {"no_sections", patch16(coff + 2, 0), k1812},
          // Below the type level.
          // The directory bit is not tested, as Windows doesn't: the offset decides.
          {"type_points_to_data", patch32(l.version_type_entry + 4, l.version_name_dir - l.rsrc_raw),
           "size 324 code 0, len 52, 1.2.3.4"},
          {"type_points_to_root", patch32(l.version_type_entry + 4, 0x80000000u), k1813},
          {"name_loops_to_root", patch32(l.version_name_dir + 16 + 4, 0x80000000u), k1813},
          {"name_loops_to_self",
           patch32(l.version_name_dir + 16 + 4, 0x80000000u | static_cast<std::uint32_t>(l.version_name_dir - l.rsrc_raw)), k1813},
          // A data entry read from a directory's header: a size of 0.
          {"language_is_directory",
           patch32(l.version_language_dir + 16 + 4, 0x80000000u | static_cast<std::uint32_t>(l.version_name_dir - l.rsrc_raw)), k1812},
          {"name_dir_empty", patch16(l.version_name_dir + 14, 0), k1813},
          {"name_dir_past_end", patch32(l.version_type_entry + 4, 0xfffffff0u), k1813},
          // 65535 named types claimed: the id entries would lie past the section.
          {"type_count_huge", patch16(l.rsrc_raw + 12, 0xffff), k1813},
          {"id_count_huge", patch16(l.rsrc_raw + 14, 0xffff), k1813},
          {"data_rva_past_end", patch32(l.version_data_entry, 0xfffffff0u), k1812},
          {"data_size_past_end", patch32(l.version_data_entry + 4, 0x10000000), k1812},
          {"data_size_wraps", patch32(l.version_data_entry + 4, 0xffffffff), k1812},
          // The damage that makes Windows' own reader fault (see
          // walk/file_report_win_test.cpp): ours refuses each quietly.
          {"data_entry_outside", Damaged(good, l, vur::test::Damage::kDataEntryOutside), k1813},
          {"huge_data_at_end", Damaged(good, l, vur::test::Damage::kHugeDataAtEnd), k1812},
          {"directory_outside", Damaged(good, l, vur::test::Damage::kDirectoryOutside), k1813},
          // An empty or one-byte resource still has a size and is copied, as
          // Windows does; nothing in it is a version.
          {"data_size_0", BuildPe(tiny), "size 4 code 0, len 0"},
          {"data_size_1", BuildPe(one), "size 6 code 0, len 0"},
      });
}

TEST_F(VersionInfoTest, RootBlockShapes) {
  auto image = [](Bytes block) {
    PeOptions o;
    o.resources = {{16, 1, 0x409, std::move(block)}};
    return BuildPe(o);
  };
  Bytes block = VersionBlock({1, 2, 3, 4});
  Bytes zero_length = block;
  Put16(&zero_length, 0, 0);
  Bytes value_51 = block;
  Put16(&value_51, 2, 51);
  Bytes bad_signature = block;
  Put32(&bad_signature, 40, 0xFEEF04BE);
  Bytes no_key_end = Bytes(40, 'A');
  Put16(&no_key_end, 0, 40);
  Put16(&no_key_end, 2, 52);
  Put16(&no_key_end, 4, 0);
  Bytes value_past_length = block;
  Put16(&value_past_length, 0, 60);
  // What Wine's reader gives for each over a zeroed buffer of the size the
  // size call states, with the length cut at the buffer's end (Windows gives
  // the value-length word whole). The block's own root length bounds
  // nothing: "FE2X", the mark Windows writes where it says the block ends,
  // lands at offset 0 for a length of 0, inside the fixed information for
  // 60, and at 2 and 4 for the tiny blocks, where it makes the next byte
  // read as the 16-bit layout's key.
  ExpectAll({
                {"length_0", image(zero_length), "size 324 code 0, len 284, 1.2.3.4"},
                {"block_2", image({2, 0}), "size 8 code 0, len 0"},
                {"block_4", image({4, 0, 52, 0}), "size 12 code 0, len 0"},
                // Cut inside the fixed information: the rest reads as the zeros there.
                {"block_51", image(Resize(block, 51)), "size 106 code 0, len 52, 1.2.0.0"},
                {"block_92", image(Resize(block, 92)), "size 188 code 0, len 52, 1.2.3.4"},
                {"value_51", image(value_51), "size 324 code 0, len 51"},
                {"value_past_length", image(value_past_length), "size 324 code 0, len 52, 1.2.3.4"},
                {"bad_signature", image(bad_signature), "size 324 code 0, len 52, bad signature"},
                {"key_without_end", image(no_key_end), "size 84 code 0, len 36"},
            });
}

TEST_F(VersionInfoTest, SmallBufferCutsTheCopy) {
  std::wstring path = Put("v.exe", BuildPeWithVersion({5, 6, 7, 8}));
  struct {
    DWORD buffer;
    std::string expected;
  } cases[] = {
      {4096, "size 324 code 0, len 52, 5.6.7.8"},
      {92, "size 324 code 0, len 52, 5.6.7.8"},
      {91, "size 324 code 0, len 51"},
      {41, "size 324 code 0, len 1"},
      {40, "size 324 code 0, len 0"},
      {2, "size 324 code 0, len 0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Probe(path, c.buffer)) << "buffer " << c.buffer;
  }
  unsigned char one = 0x55;
  SetLastError(0);
  EXPECT_FALSE(GetFileVersionInfoW(path.c_str(), 0, 1, &one));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(0x55, one);
}

TEST_F(VersionInfoTest, ResourceOverOneMebibyteReadIntoOneMebibyte) {
  Bytes block = VersionBlock({10, 0, 19041, 1});
  Put16(&block, 0, 0xffff);  // the root claims the most a length word can say
  block.resize(1536 * 1024, 0);
  PeOptions o;
  o.pe32plus = true;
  o.resources = {{16, 1, 0x409, block}};
  std::wstring path = Put("big.exe", BuildPe(o));
  EXPECT_EQ("size 3145732 code 0, len 52, 10.0.19041.1", Probe(path, 1024 * 1024));
}

// The resource lies 3 GiB into a sparse file: offsets past 2^31 work, and
// the reader does not read the gigabytes in between (the test would crawl).
TEST_F(VersionInfoTest, ResourceFarIntoSparseFile) {
  PeLayout l;
  Bytes image = BuildPeWithVersion({1, 0, 0, 1}, false, &l);
  const std::uint32_t far = 0xC0000000u;
  Put32(&image, l.rsrc_section + 20, far);
  std::string native = root_ + "/d/sparse.exe";
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, image.data(), l.rsrc_raw, 0), static_cast<ssize_t>(l.rsrc_raw));
  std::size_t rest = image.size() - l.rsrc_raw;
  ASSERT_EQ(pwrite(fd, image.data() + l.rsrc_raw, rest, far), static_cast<ssize_t>(rest));
  close(fd);
  EXPECT_EQ("size 324 code 0, len 52, 1.0.0.1", Probe(L"D:\\sparse.exe"));
}

TEST_F(VersionInfoTest, FileSystemErrors) {
  ASSERT_EQ(mkdir((root_ + "/d/setup.exe").c_str(), 0755), 0);
  Put("empty.dll", {});
  Put("notes.exe", Text("plain text\n"));
  struct {
    const wchar_t* path;
    std::string expected;
  } cases[] = {
      {L"D:\\missing.exe", "error 2"},
      {L"D:\\no_folder\\a.exe", "error 3"},
      {L"D:\\setup.exe", "error 5"},
      {L"D:\\", "error 5"},
      {L"D:\\notes.exe\\a.exe", "error 3"},
      {L"D:\\empty.dll", "error 1812"},
      {L"D:\\notes.exe", "error 1812"},
  };
  for (const auto& c : cases) {
    std::string path(c.path, c.path + std::wcslen(c.path));
    EXPECT_EQ(c.expected, Probe(c.path)) << path;
  }
}

TEST_F(VersionInfoTest, QueryArguments) {
  Bytes block = VersionBlock({1, 2, 3, 4});
  const Bytes before = block;
  void* value = nullptr;
  UINT length = 7;
  struct {
    const wchar_t* sub_block;
    BOOL result;
    DWORD code;  // last-error code, preset to 0xdeadbeef
    UINT length;
  } cases[] = {
      {L"\\", TRUE, 0xdeadbeef, 52},
      {L"", TRUE, 0xdeadbeef, 52},
      {L"\\\\", TRUE, 0xdeadbeef, 52},
      {L"\\VarFileInfo\\Translation", FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND, 7},
      {L"\\StringFileInfo\\040904b0\\FileVersion", FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND, 7},
  };
  for (const auto& c : cases) {
    length = 7;
    SetLastError(0xdeadbeef);
    BOOL result = VerQueryValueW(block.data(), c.sub_block, &value, &length);
    std::string name(c.sub_block, c.sub_block + std::wcslen(c.sub_block));
    EXPECT_EQ(c.result, result) << name;
    EXPECT_EQ(c.code, GetLastError()) << name;
    EXPECT_EQ(c.length, length) << name;
  }
  EXPECT_EQ(before, block) << "VerQueryValueW wrote into the block";
  SetLastError(0);
  EXPECT_FALSE(VerQueryValueW(nullptr, L"\\", &value, &length));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(VersionInfoTest, InjectedFaults) {
  using vur::posix::testing::Fault;
  using vur::posix::testing::InjectFault;
  using vur::posix::testing::Op;
  std::wstring path = Put("v.exe", BuildPeWithVersion({1, 2, 3, 4}));
  DWORD handle = 0;
  std::vector<unsigned char> data(160);
  void* value = nullptr;
  UINT length = 0;

  InjectFault(Fault{Op::kGetFileVersionInfoSize, path, ERROR_SHARING_VIOLATION});
  EXPECT_EQ(0u, GetFileVersionInfoSizeW(path.c_str(), &handle));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, GetLastError());
  Fault pending{Op::kGetFileVersionInfoSize, path, ERROR_ALREADY_EXISTS};
  pending.succeed = true;
  EXPECT_EQ(324u, GetFileVersionInfoSizeW(path.c_str(), &handle));
  InjectFault(pending);
  EXPECT_EQ(324u, GetFileVersionInfoSizeW(path.c_str(), &handle));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());

  InjectFault(Fault{Op::kGetFileVersionInfo, path, ERROR_IO_DEVICE});
  EXPECT_FALSE(GetFileVersionInfoW(path.c_str(), 0, 160, data.data()));
  EXPECT_EQ(ERROR_IO_DEVICE, GetLastError());
  EXPECT_TRUE(GetFileVersionInfoW(path.c_str(), 0, 160, data.data()));

  InjectFault(Fault{Op::kVerQueryValue, L"\\", ERROR_INVALID_DATA});
  EXPECT_FALSE(VerQueryValueW(data.data(), L"\\", &value, &length));
  EXPECT_EQ(ERROR_INVALID_DATA, GetLastError());
  EXPECT_TRUE(VerQueryValueW(data.data(), L"\\", &value, &length));
  EXPECT_EQ(52u, length);
}

}  // namespace
