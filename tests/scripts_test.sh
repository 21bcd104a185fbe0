#!/bin/bash
# scripts_test.sh: the scripts that keep the tree tidy.
#   - Every script of bench/, tests/, scripts/ and fuzz/ answers --help with
#     its usage and exit 0, and refuses an option it doesn't take with its
#     usage on standard error and exit 2; run in an empty folder, neither
#     writes there nor in the tree. So does make_fleet, when built.
#   - usage.sh reads options as each script takes them.
#   - scripts/check-tree.sh, on a scratch clone: a file over 1 MB and a root
#     entry the README's layout doesn't list each fail, with a line naming it.
. "$(dirname "$0")/../scripts/usage.sh"
usage_check '' '' "$@"
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
. "$HERE/package/checks.sh"
WORK=$(mktemp -d /tmp/vur_scripts.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# Libraries, only ever sourced by the scripts that use them: they take no
# arguments of their own.
libraries=" scripts/usage.sh bench/fleet/timing.sh tests/e2e/lib.sh tests/e2e/wine_harness.sh tests/fleet/lib.sh
  tests/fleet/pg_server.sh tests/gtest_count.sh tests/package/checks.sh "

tree_before=$(git -C "$SRC" status --porcelain --untracked-files=all)
empty=$WORK/empty
# run NAME COMMAND...: COMMAND in an empty folder; sets RC, OUT, ERR and
# WROTE (what it left in the folder)
run() {
  rm -rf "$empty"; mkdir "$empty"
  (cd "$empty" && timeout -s KILL 20 "${@:2}" >"$WORK/out" 2>"$WORK/err"); RC=$?
  OUT=$(cat "$WORK/out") ERR=$(cat "$WORK/err") WROTE=$(ls -A "$empty")
}
# check_answers NAME COMMAND...: --help and an unknown option, as above
check_answers() {
  local name=$1; shift
  run "$name" "$@" --help
  check_eq "$name --help: the usage on standard output, exit 0, nothing written" \
    "0|usage||" "$RC|${OUT:+usage}|$ERR|$WROTE"
  run "$name" "$@" --no-such-option
  check_eq "$name --no-such-option: refused, the usage on standard error, exit 2, nothing written" \
    "2|usage||" "$RC|$([ "$(wc -l <<<"$ERR")" -gt 1 ] && echo usage)|$OUT|$WROTE"
}
while IFS= read -r f; do
  [[ $libraries == *" $f "* ]] && continue
  case $f in
    *.py) check_answers "$f" /usr/bin/python3 "$SRC/$f" ;;
    *) check_answers "$f" bash "$SRC/$f" ;;
  esac
done < <(git -C "$SRC" ls-files bench tests scripts fuzz | grep -E '\.(sh|py)$')
if [ -x "$SRC/build/linux/make_fleet" ]; then
  check_answers make_fleet "$SRC/build/linux/make_fleet"
  run make_fleet "$SRC/build/linux/make_fleet" --machines 1
  check_eq "make_fleet --machines 1: OUT that looks like an option is refused, nothing written" \
    "2|" "$RC|$WROTE"
else
  skip "make_fleet" "build/linux/make_fleet is not built"
fi
check_eq "the tree: the scripts wrote nothing in it" "$tree_before" \
  "$(git -C "$SRC" status --porcelain --untracked-files=all)"

# usage_check's reading: OPTIONS -- ARGUMENTS -- the exit code
cat > "$WORK/opts.sh" <<EOF
. "$SRC/scripts/usage.sh"
opts=\$1; shift
usage_check 'X' "\$opts" "\$@"
EOF
while IFS='|' read -r opts args want; do
  # shellcheck disable=SC2086
  bash "$WORK/opts.sh" "$opts" $args >/dev/null 2>&1
  check_eq "usage_check '$opts' $args" "$want" "$?"
done <<'EOF'
-r= --wine32|-r -5 --wine32 A B|0
-r= --wine32|-r 5 --bogus A|2
-r=|A -r|2
--runs=|--runs=3 10|0
--runs=|--run 3|2
|A -- --not-an-option|0
+|EXE --gtest_filter=x --gtest_brief=1|0
+|--gtest_filter=x EXE|2
|-|0
EOF

# scripts/check-tree.sh on a scratch clone, with this tree's check and README
clone=$WORK/clone
git clone -q "$SRC" "$clone"
cp "$SRC/scripts/check-tree.sh" "$SRC/scripts/usage.sh" "$clone/scripts/"
cp "$SRC/README.md" "$clone/"
git -C "$clone" add -A
tree_case() {  # tree_case NAME WANTED_RC WANTED_LINE: check-tree's answer on the clone
  local out rc
  out=$(bash "$clone/scripts/check-tree.sh" 2>&1); rc=$?
  check_eq "check-tree: $1" "$2|$3" "$rc|$(grep -oF -- "$3" <<<"$out" | head -n 1)"
}
tree_case "a clean clone passes" 0 "2 passed, 0 failed"
head -c 1500000 /dev/zero > "$clone/docs/big.bin"
head -c 1048576 /dev/zero > "$clone/docs/one-mb.bin"
head -c 1500000 /dev/zero > "$clone/examples/big.csv"
mkdir -p "$clone/tests/e2e/data" && head -c 1500000 /dev/zero > "$clone/tests/e2e/data/big.bin"
git -C "$clone" add -A
tree_case "a file of 1.5 MB fails, named (1 MB itself, examples/ and tests' data/ pass)" 1 \
  "check-tree: docs/big.bin is 1500000 bytes"
[ "$(bash "$clone/scripts/check-tree.sh" | grep -c 'bytes, over')" = 1 ] ||
  fail "check-tree: only docs/big.bin is over" "$(bash "$clone/scripts/check-tree.sh")"
git -C "$clone" rm -qf docs/big.bin
mkdir "$clone/stray" "$clone/--help" && touch "$clone/stray/x" "$clone/--help/y"
git -C "$clone" add -A
tree_case "an unlisted root folder fails, named" 1 \
  "check-tree: the root entry stray is not listed in README.md's \"## Layout\" section"
tree_case "a root folder named like an option fails, named" 1 \
  "check-tree: the root entry --help is not listed"
git -C "$clone" rm -rqf stray -- --help
sed -i 's/^## Layout$/## Where things are/' "$clone/README.md"
tree_case "a README without its layout section fails" 1 "README.md has no \"## Layout\" section"

finish
