# timing.sh: what the benchmarks share, sourced, not run: medians, wall
# times and ratios, printed as the tables give them.

# median: the median of the numbers on standard input, a line each.
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# seconds CMD...: CMD's wall time in seconds, with $places decimals (2),
# its output dropped.
seconds() {
  local start end
  start=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
  awk -v ns=$((end - start)) -v places="${places:-2}" 'BEGIN { printf "%.*f\n", places, ns / 1e9 }'
}
# ms CMD...: CMD's wall time in whole milliseconds, its output dropped.
ms() {
  local start end
  start=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
# ratio A B: A / B, to two places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# within T MOST: yes when T is below MOST, else NO.
within() { awk -v t="$1" -v most="$2" 'BEGIN { print (t < most ? "yes" : "NO") }'; }
