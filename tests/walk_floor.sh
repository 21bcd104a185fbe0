#!/bin/bash
# walk_floor.sh SCANNER MAKE_PE: counts, never times, the system calls that
# the Linux scanner makes per folder and per candidate file (a file whose
# name ends in .exe or .com, which the scanner probes), and fails when either
# rises above the floor the walk has reached. A refactor that adds a stat per
# entry, a second read per folder or an open per probe shows here, however
# fast the machine.
#
# One generated tree is scanned three times under `strace -f -c`:
#   base     a drive holding one file and no folder: the run's fixed cost
#            (start-up, settings, status record, the drive root's listing)
#   walk     the tree with ScannerExtensions ".none": every folder is
#            listed, no file is probed
#   probes   the tree with ScannerExtensions ".exe" and ".com"
# Per folder is (walk - base) / folders, per candidate (probes - walk) /
# candidates, so every call counts, whatever it is. Each count is the smaller
# of two runs after an untraced one: a page cache emptied meanwhile by some
# other program only adds calls (reads the prefetch must leave to the disk).
. "$(dirname "$0")/../scripts/usage.sh"
usage_check 'SCANNER MAKE_PE' '' "$@"
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: $0 SCANNER MAKE_PE" >&2
  exit 2
fi
scanner=$(realpath "$1") make_pe=$(realpath "$2")
command -v strace >/dev/null || { echo "strace is missing (apt-get install strace)"; exit 1; }
strace -f -c -o /dev/null true || { echo "strace can't trace here"; exit 1; }

# The floor, measured with this tree on ext4 (Linux 6.1, strace 6.1, the
# linux and the scan presets alike), the same in every run:
#   per folder 3.006: 938 calls for 312 folders, an openat2, a getdents64
#     and a close each (the ext4 driver marks a listing's last record, so one
#     read holds the whole folder), and two brk as the walk's memory grows;
#   per candidate 4.408: 2116 calls for 480 candidates, an openat, an fstat
#     and a close each, 672 reads (two per image with a version resource, one
#     per image without), and four writes of the longer report.
# The limits sit just above them: one call more per folder, or per tenth
# candidate, fails.
max_per_folder=3.05
max_per_candidate=4.45

work=$(mktemp -d "${TMPDIR:-/tmp}/walk_floor.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The tree: 24 folders of 12 subfolders each, 312 folders in all, each with
# nine files of other types (two whose names hold "exe" or "com" without
# ending in them); in the subfolders, 480 candidates of three kinds: an image
# with a version resource (open, fstat, a read of the headers and one of the
# resource, close), one without resources (no second read), and a text file
# (too short to read at all).
tree=$work/tree
"$make_pe" "$work/versioned.exe" 1.2.3.4 --pad 2048 >/dev/null  # a resource of a usual size
"$make_pe" "$work/bare.exe" 5.6.7.8 --none >/dev/null
folders=() versioned=() bare=() texts=()
for ((i = 0; i < 24; i++)); do
  folders+=("$tree/group$i")
  for ((j = 0; j < 12; j++)); do
    folders+=("$tree/group$i/folder$j")
    versioned+=("$tree/group$i/folder$j/app$j.exe")
    case $((j % 3)) in
      0) bare+=("$tree/group$i/folder$j/TOOL.COM") ;;
      1) texts+=("$tree/group$i/folder$j/notes.Exe") ;;
    esac
  done
done
mkdir -p "${folders[@]}"
for d in "${folders[@]}"; do
  for k in readme.txt data.bin notes.md lib.dll setup.ini icon.ico log.txt exe com.txt; do
    printf '%s %s\n' "$d" "$k" >"$d/$k"
  done
done
tee "${versioned[@]}" <"$work/versioned.exe" >/dev/null
tee "${bare[@]}" <"$work/bare.exe" >/dev/null
for f in "${texts[@]}"; do echo "not an image" >"$f"; done
nfolders=${#folders[@]}
ncandidates=$((${#versioned[@]} + ${#bare[@]} + ${#texts[@]}))
mkdir -p "$work/empty" && printf 'x\n' >"$work/empty/only.txt"

# count DRIVE_FOLDER EXTENSIONS REPORTED OUT: the calls of one scan, the
# smaller of two, with the per-call table of that run in OUT. The scan must
# report REPORTED files, so that a tree the scanner never saw can't pass.
count() {
  local machine=$work/machine key best= n i reported
  rm -rf "$machine"
  key=$machine/registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR
  mkdir -p "$key"
  echo "D: fixed $1" >"$machine/drives"
  printf '%b' "$2" >"$key/ScannerExtensions"
  VURSCANNER_ROOT=$machine "$scanner" >"$work/report"
  reported=$(grep -v '^#' "$work/report" | grep -c . || true)
  if [ "$reported" -ne "$3" ]; then
    echo "the scan of $1 reported $reported files, not $3" >&2
    return 1
  fi
  for i in 1 2; do
    VURSCANNER_ROOT=$machine strace -f -c -U name,calls -o "$work/table" "$scanner" >/dev/null
    n=$(awk '$1 == "total" {print $2}' "$work/table")
    [[ $n =~ ^[0-9]+$ ]] || { echo "strace gave no count" >&2; return 1; }
    if [ -z "$best" ] || [ "$n" -lt "$best" ]; then best=$n; cp "$work/table" "$4"; fi
  done
  echo "$best"
}

base=$(count "$work/empty" '.none' 0 "$work/base.txt")
walk=$(count "$tree" '.none' 0 "$work/walk.txt")
probes=$(count "$tree" '.exe\0.com' "$ncandidates" "$work/probes.txt")
per_folder=$(awk -v a="$walk" -v b="$base" -v n="$nfolders" 'BEGIN {printf "%.3f", (a - b) / n}')
per_candidate=$(awk -v a="$probes" -v b="$walk" -v n="$ncandidates" 'BEGIN {printf "%.3f", (a - b) / n}')
# The floor is ext4's. Other file systems may lack the end mark (a second
# read per folder) or refuse reads that must not wait (tmpfs: the prefetch
# then reads each file exactly, after an fadvise): one call more each.
fs_type=$(stat -f -c %t "$tree")
if [ "$fs_type" != ef53 ]; then
  max_per_folder=$(awk -v m="$max_per_folder" 'BEGIN {print m + 1}')
  max_per_candidate=$(awk -v m="$max_per_candidate" 'BEGIN {print m + 1}')
  echo "file system 0x$fs_type is not ext4: one call more allowed per folder and per candidate"
fi
echo "tree of $nfolders folders, $ncandidates candidates; calls: base $base, walk $walk, probes $probes"
echo "per folder: $per_folder (limit $max_per_folder)"
echo "per candidate: $per_candidate (limit $max_per_candidate)"

status=0
if awk -v v="$per_folder" -v m="$max_per_folder" 'BEGIN {exit !(v > m)}'; then
  echo "FAILED: more calls per folder than the floor"
  status=1
fi
if awk -v v="$per_candidate" -v m="$max_per_candidate" 'BEGIN {exit !(v > m)}'; then
  echo "FAILED: more calls per candidate than the floor"
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "calls by name (base, walk, probes):"
  join -a1 -a2 -e0 -o auto <(sed '1,2d;/^---/d;/^total/d' "$work/base.txt" | sort) \
    <(sed '1,2d;/^---/d;/^total/d' "$work/walk.txt" | sort) |
    join -a1 -a2 -e0 -o auto - <(sed '1,2d;/^---/d;/^total/d' "$work/probes.txt" | sort) |
    awk '{printf "  %-16s %8s %8s %8s\n", $1, $2, $3, $4}'
fi
exit $status
