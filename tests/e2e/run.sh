#!/usr/bin/env bash
# run.sh: runs the end-to-end families, all of them or those named, and ends
# with one line "N passed, M failed" (", K skipped" when families were
# skipped); the exit status is 0 only when every check passed.
#
#   run.sh [--linux EXE] [--win32 EXE] [--win64 EXE] [--make-pe EXE] [FAMILY|GROUP...]
#
# A group is a folder of families (builds, hostile); a family is named by
# its id (c), its file name (c-walk) or its path. The programs are copied and
# the Wine template is built once, for all the families of the run.
. "$(dirname "$0")/lib.sh"
E2E_ROLE=driver

e2e_options names
groups=$(cd "$E2E_DIR" && for g in */; do compgen -G "$g*.sh" >/dev/null && echo "${g%/}"; done)

# select_families NAME: adds the family files NAME stands for to FILES, each once
FILES=()
select_families() {
  local n=${1%.sh} g f id found=""
  for g in $groups; do
    for f in "$E2E_DIR/$g"/*.sh; do
      id=$(basename "$f" .sh)
      case $n in
        "$g"|"$id"|"${id%%-*}"|"$g/$id"|"$g/${id%%-*}") ;;
        *) continue ;;
      esac
      found=1
      [[ " ${FILES[*]} " == *" $f "* ]] || FILES+=("$f")
    done
  done
  [ -n "$found" ] || { echo "no family or group named $1 (groups: $(echo $groups))" >&2; exit 2; }
}
[ ${#E2E_SELECTED[@]} -gt 0 ] || E2E_SELECTED=($groups)
for n in "${E2E_SELECTED[@]}"; do select_families "${n#tests/e2e/}"; done

e2e_prepare "${BUILD_EXE[win32]:-}${BUILD_EXE[win64]:-}"
mapfile -t options < <(e2e_program_options)
export WH_ROOT E2E_RESULTS=$WH_ROOT/results
: > "$E2E_RESULTS"

for f in "${FILES[@]}"; do
  bash "$f" "${options[@]}"
  name=$(basename "$f" .sh)
  if ! grep -q "^$name " "$E2E_RESULTS"; then
    fail "${name%%-*}: the family reported its count" "$f ended without writing it"
  fi
done
while read -r name p f s; do
  PASSED=$((PASSED + p)) FAILED=$((FAILED + f)) SKIPPED=$((SKIPPED + s))
done < "$E2E_RESULTS"
check_template_unchanged

echo "# took $((SECONDS - E2E_START)) s"
e2e_count_line
[ "$FAILED" -eq 0 ]
