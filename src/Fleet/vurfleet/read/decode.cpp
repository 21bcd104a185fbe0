#include "read/decode.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace vurfleet {
namespace {

int LineAt(std::string_view text, std::size_t pos) {
  int line = 1;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// Checks UTF-8 text for what no scan holds. Returns the position of the
// first fault and says why, or npos. `cut` is set when the text ends inside
// a character; that tail is then no fault.
std::size_t CheckText(std::string_view text, std::string* why, std::size_t* cut) {
  const std::size_t size = text.size();
  std::size_t pos = 0;
  *cut = size;
  while (pos < size) {
    // Plain ASCII without control characters, eight bytes at a time.
    if (pos + 8 <= size) {
      std::uint64_t chunk;
      std::memcpy(&chunk, text.data() + pos, 8);
      // No byte at or above 0x80, and none below 0x20 (adding 0x60 to each
      // byte carries into its top bit exactly when it was 0x20 or more).
      const std::uint64_t high = chunk & 0x8080808080808080ULL;
      const std::uint64_t low = ~(chunk + 0x6060606060606060ULL) & 0x8080808080808080ULL;
      if ((high | low) == 0) {
        pos += 8;
        continue;
      }
    }
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x80) {
      ++pos;
      continue;
    }
    if (byte == '\n') {
      ++pos;
      continue;
    }
    if (byte == '\r') {
      if (pos + 1 == size || text[pos + 1] == '\n') {
        ++pos;
        continue;
      }
      *why = "not text: a carriage return inside a line";
      return pos;
    }
    if (byte < 0x20) {
      *why = byte == 0 ? "not text: a NUL byte (UTF-16 without its byte-order mark?)"
                       : "not text: the control character U+" + Hex(byte, 4);
      return pos;
    }
    std::size_t next = pos;
    char32_t c;
    if (NextCodePoint(text, &next, &c)) {
      pos = next;
      continue;
    }
    // A sequence that is only short of bytes at the very end is a cut.
    std::size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
    if (need != 0 && pos + need > size) {
      bool continuation = true;
      for (std::size_t i = pos + 1; i < size; ++i) {
        continuation = continuation && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
      }
      if (continuation) {
        *cut = pos;
        return std::string_view::npos;
      }
    }
    *why = "not text: the byte 0x" + Hex(byte, 2) + " is not UTF-8";
    return pos;
  }
  return std::string_view::npos;
}

Decoded Fault(Decoded decoded, int line, std::string why) {
  decoded.bad_line = line;
  decoded.why = std::move(why);
  return decoded;
}

}  // namespace

Decoded Decode(std::string bytes) {
  Decoded out;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    return Fault(std::move(out), 1, "not text that is read here: UTF-16 big-endian "
                                    "(save it as UTF-8 or UTF-16LE)");
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    // UTF-16LE: convert, counting lines for the messages.
    std::string utf8;
    utf8.reserve(bytes.size() / 2 + bytes.size() / 8);
    int line = 1;
    std::size_t pos = 2;
    while (pos + 1 < bytes.size()) {
      char32_t unit = static_cast<unsigned char>(bytes[pos]) |
                      (static_cast<unsigned char>(bytes[pos + 1]) << 8);
      pos += 2;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (pos + 1 >= bytes.size()) {
          out.cut_in_character = true;
          pos = bytes.size();
          break;
        }
        char32_t low = static_cast<unsigned char>(bytes[pos]) |
                       (static_cast<unsigned char>(bytes[pos + 1]) << 8);
        if (low < 0xDC00 || low > 0xDFFF) {
          return Fault(std::move(out), line, "not text: a lone UTF-16 surrogate");
        }
        pos += 2;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return Fault(std::move(out), line, "not text: a lone UTF-16 surrogate");
      }
      if (unit == '\n') ++line;
      AppendUtf8(&utf8, unit);
    }
    if (pos < bytes.size()) out.cut_in_character = true;  // half a code unit
    bytes.swap(utf8);
    out.holder = std::make_shared<const std::string>(std::move(bytes));
    out.text = *out.holder;
  } else {
    out.holder = std::make_shared<const std::string>(std::move(bytes));
    out.text = *out.holder;
    if (out.text.size() >= 3 && out.text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      out.text.remove_prefix(3);
    }
  }
  std::string why;
  std::size_t cut;
  const std::size_t fault = CheckText(out.text, &why, &cut);
  if (fault != std::string_view::npos) return Fault(std::move(out), LineAt(out.text, fault), why);
  if (cut < out.text.size()) {
    out.cut_in_character = true;
    out.text = out.text.substr(0, cut);
  }
  return out;
}

}  // namespace vurfleet
