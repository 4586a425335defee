#!/usr/bin/env bash
# Runs the voxeval binary over a file of cases and compares what it prints.
#   run_cases.sh VOXEVAL CASES DATA_DIR WORK_DIR [RUNNER...]
# A case is a command line after "$ " (run by bash in WORK_DIR, with
# `voxeval` standing for the binary and $DATA for DATA_DIR), then the
# expected standard output lines, then standard error lines prefixed "! ",
# then "? " and the exit status. Lines starting with "#" between cases are
# comments.
# A RUNNER (Wine, for a cross-built voxeval.exe) runs the binary; the "\r"
# that Windows' text mode writes before each line feed is then dropped.
# $VOXEVAL holds the whole command as one string, for cases that hand it to
# another shell.
set -uo pipefail

voxeval_binary=$1
cases=$2
DATA=$3
work=$4
shift 4
runner=("$@")
VOXEVAL=$(printf '%q ' "${runner[@]}" "$voxeval_binary")
export DATA VOXEVAL
if [ ${#runner[@]} -eq 0 ]; then
  voxeval() { "$voxeval_binary" "$@"; }
else
  voxeval() {
    "${runner[@]}" "$voxeval_binary" "$@" >"$work/.run.out" 2>"$work/.run.err"
    local code=$?
    sed 's/\r$//' "$work/.run.out"
    sed 's/\r$//' "$work/.run.err" >&2
    return "$code"
  }
fi

rm -rf "$work" && mkdir -p "$work" || exit 2

failures=0
count=0

# Prints a run's output in the case file's form.
observed() {
  local out=$1 err=$2 code=$3
  awk 1 "$out"
  awk '{ print "! " $0 }' "$err"
  echo "? $code"
}

run_case() {
  local command=$1 expected=$2
  (cd "$work" && eval "$command") >"$work/.out" 2>"$work/.err" </dev/null
  local code=$?
  local actual
  actual=$(observed "$work/.out" "$work/.err" "$code")
  count=$((count + 1))
  if [ "$actual" != "$expected" ]; then
    failures=$((failures + 1))
    echo "FAILED: \$ $command"
    diff -u --label expected --label actual <(printf '%s\n' "$expected") \
      <(printf '%s\n' "$actual")
  fi
}

command=
expected=
in_case=false
while IFS= read -r line || [ -n "$line" ]; do
  if ! $in_case; then
    case "$line" in
      '$ '*) command=${line#'$ '}; expected=; in_case=true ;;
      '#'* | '') ;;
      *) echo "$cases: stray line: $line"; exit 2 ;;
    esac
    continue
  fi
  expected+="${expected:+$'\n'}$line"
  case "$line" in
    '? '*) run_case "$command" "$expected"; in_case=false ;;
  esac
done <"$cases"

if $in_case; then
  echo "$cases: the last case has no '? STATUS' line"
  exit 2
fi
echo "$count cases, $failures failed"
# A file that yields no case has checked nothing.
[ "$count" -gt 0 ] && [ "$failures" -eq 0 ]
