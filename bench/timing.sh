# Sourced by the bench scripts: wall times recorded one per line, and their median; the data.
# append_time_since <start> <file>: appends the seconds since $EPOCHREALTIME was <start>.
append_time_since() {
  awk -v s="$1" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }' >>"$2"
}

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# make_data <MiB> <vurn>: writes, in the current folder, data (that many MiB of random bytes), key
# (a fresh 256-bit key file) and data.vurn (data encrypted under it).
make_data() {
  echo "Writing $1 MiB of random bytes and a key..." >&2
  head -c "$(($1 * 1024 * 1024))" /dev/urandom >data
  od -An -tx1 -N32 /dev/urandom | tr -d ' \n' | tr a-f A-F >key
  "$2" -e -c -k key data >data.vurn 2>/dev/null
}
