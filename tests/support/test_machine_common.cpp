#include <fstream>
#include <sstream>

#include "support/test_machine.h"

namespace vur::test {

Console::Console() : file_(std::tmpfile()) {}
Console::~Console() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string Console::Text() const {
  std::fflush(file_);
  long end = std::ftell(file_);
  std::string text(static_cast<std::size_t>(end > 0 ? end : 0), '\0');
  std::rewind(file_);
  std::size_t got = text.empty() ? 0 : std::fread(&text[0], 1, text.size(), file_);
  text.resize(got);
  std::fseek(file_, 0, SEEK_END);
  return text;
}

std::string ReadFileBytes(const std::string& native_path) {
  std::ifstream in(native_path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned long c = static_cast<unsigned long>(text[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(text[++i]) - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void TestMachine::WriteFile(const std::string& relative, const std::string& bytes) const {
  std::ofstream out(Native(relative), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::wstring TestMachine::Wide(const std::string& relative) const {
  std::wstring out = root_;
  for (char c : relative) out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

}  // namespace vur::test
