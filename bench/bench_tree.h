// The generated tree of bench/vs_find.sh (see bench_tree.cpp for its shape).
#pragma once

#include <string>

namespace vur::bench {

struct TreeSummary {
  long files = 0;
  long folders = 0;     // below the root
  long images = 0;      // copies of PE images
  long candidates = 0;  // files whose name ends in .exe or .com
  long sources = 0;     // distinct PE images found on the machine
};

// Replaces `root` with a tree of `files` files. Returns 0, or 1 after a
// message on standard error.
int MakeTree(const std::string& root, long files, TreeSummary* summary);

}  // namespace vur::bench
