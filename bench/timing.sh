# Sourced by the bench scripts: wall times recorded one per line, and their median.
# append_time_since <start> <file>: appends the seconds since $EPOCHREALTIME was <start>.
append_time_since() {
  awk -v s="$1" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }' >>"$2"
}

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
