# Pieces that scripts/demo and scripts/offline share: the stage headings watched as they
# reach the job's log, the time per stage, and the log printed with its runs folded.
# Sourced; the caller sets $log (the log's host path) and $stages (a file for the marks).

# The stage headings as they reach the log, with the time each one appeared.
watch_log() {
  local seen=""
  while :; do
    if [ -f "$log" ]; then
      while IFS= read -r line; do
        line=${line%$'\r'}
        case "$line" in
          Stage*|Complete:|Cleaning\ Up:)
            if ! grep -qxF "$line" <<<"$seen"; then
              seen+="$line"$'\n'
              printf '%s %s\n' "$(date +%s.%N)" "$line" >>"$stages"
              printf '\r  %-70s' "$line" >&2
            fi ;;
        esac
      done <"$log"
    fi
    sleep 0.02
  done
}

# The time per stage from the marks: the watcher sees a heading up to one poll after it is
# written, so a heading seen after a boot ended counts as written at its end, and the pause
# between the boots (end1 .. start2) is left out, so the times of the second boot follow on
# from the restart.
#   print_stage_times END1 START2 END2
print_stage_times() {
  local end1=$1 start2=$2 end2=$3
  printf '%s %s\n' "$end2" "end" >>"$stages"
  awk -v end1="$end1" -v start2="$start2" -v end2="$end2" '
    { t = $1; if (t > end2) t = end2
      if (t > end1 && t < start2) t = end1; else if (t >= start2) t -= start2 - end1
      $1 = ""; printf "%.6f %d %s\n", t, NR, substr($0, 2) }' "$stages" | sort -n -k1,1 -k2,2 |
    awk -v boot2="$(awk -v a="$end2" -v b="$start2" 'BEGIN { print a - b }')" '
    { t[NR] = $1; $1 = ""; $2 = ""; name[NR] = substr($0, 3) }
    END {
      for (i = 1; i < NR; i++) printf "  %-60s %7.2f s\n", name[i], t[i + 1] - t[i]
      printf "  %-60s %7.2f s\n", "(of which the clean-up boot)", boot2
      printf "  %-60s %7.2f s\n", "total", t[NR] - t[1]
    }'
}

# A log (its carriage returns dropped) with each run of three or more identical lines
# folded into the line and a count of the repeats, so that the walk's thousand renames
# of one value name do not hide the rest.
fold_log() {
  tr -d '\r' | awk '
    function flush() {
      if (n == 1) print prev
      else if (n > 1) printf "   ... the line above %d more times\n", n
      n = 0
    }
    NR > 1 && $0 == prev { n++; next }
    { flush(); print; prev = $0 }
    END { flush() }'
}
