// A collected file's bytes as UTF-8 text: UTF-8 with or without its
// byte-order mark, or UTF-16LE with its mark (what Windows PowerShell 5.1's
// `>` writes).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vurfleet {

struct Decoded {
  // The text without its mark: the bytes given, or their UTF-8 form.
  std::shared_ptr<const std::string> holder;
  std::string_view text;
  // The bytes ended inside a character (a file still being written); the
  // part of it that was there is left out of `text`.
  bool cut_in_character = false;
  // Set when the bytes are no text: the line (from 1) and why.
  int bad_line = 0;
  std::string why;
};

// Checks every byte: strict UTF-8 (or UTF-16LE with paired surrogates), and
// no control character but the line feed and a carriage return before it.
// A carriage return as the very last byte is taken as half a line end.
Decoded Decode(std::string bytes);

}  // namespace vurfleet
