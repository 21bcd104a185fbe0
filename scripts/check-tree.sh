#!/bin/bash
# check-tree.sh: what the repository may hold, checked on its tracked files
# (those in git's index):
#   - no file over 1 MB, but in examples/, fuzz/corpus/ and a tests' data/
#     folder: generated output, a build or a benchmark fleet committed by
#     mistake is caught here;
#   - every entry at the root is listed in README.md's "## Layout" section,
#     inside backticks, as `NAME`, `NAME/` or the start of a longer path
#     (`src/Fleet/`).
# Prints a line naming each file or entry at fault; ends with
# "N passed, M failed" and exits 1 when one check failed.
. "$(dirname "$0")/usage.sh"
usage_check '' '' "$@"
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

limit=$((1024 * 1024))
failed=0

big=$(git ls-files -z | grep -zvE '^(examples/|fuzz/corpus/|tests/(.*/)?data/)' |
  xargs -0 -r stat -c '%s %n' -- 2>/dev/null | awk -v limit=$limit '$1 > limit')
if [ -n "$big" ]; then
  failed=$((failed + 1))
  while read -r size name; do
    echo "check-tree: $name is $size bytes, over the 1 MB a tracked file may hold outside examples/, fuzz/corpus/ and tests' data/"
  done <<<"$big"
fi

layout=$(awk '/^## / { inside = ($0 == "## Layout") ; next } inside' README.md 2>/dev/null)
if [ -z "$layout" ]; then
  failed=$((failed + 1))
  echo "check-tree: README.md has no \"## Layout\" section to list the root's entries"
else
  unlisted=0
  while IFS= read -r -d '' entry; do
    grep -qF -e "\`$entry\`" -e "\`$entry/" <<<"$layout" && continue
    unlisted=1
    echo "check-tree: the root entry $entry is not listed in README.md's \"## Layout\" section"
  done < <(git ls-files -z | cut -z -d/ -f1 | sort -zu)
  failed=$((failed + unlisted))
fi

echo "$((2 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
