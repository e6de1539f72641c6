#!/usr/bin/env bash
# Drives the bash completion of zpr_monitor the way bash does (COMP_WORDS,
# COMP_CWORD, COMPREPLY), with and without the bash-completion helpers.
# Runs under private_shm.sh: the pids offered come from a private /dev/shm.
#
# usage: completion.sh <completion script>
set -uo pipefail
script=$1
failures=0

check() {
  local what=$1 expected=$2 got=$3
  if [[ $got != "$expected" ]]; then
    echo "FAIL: $what: expected [$expected], got [$got]" >&2
    failures=$((failures + 1))
  fi
}

# complete_line <word...>: the words up to the cursor, the last one being
# the word under completion; prints the sorted COMPREPLY on one line.
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  # readline splits at "=", but the line itself has no blanks around it
  COMP_LINE="$*"
  COMP_LINE=${COMP_LINE// = /=}
  COMP_LINE=${COMP_LINE% =}
  [[ ${COMP_WORDS[COMP_CWORD]} == = ]] && COMP_LINE+="="
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  local prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  _zpr_monitor zpr_monitor "${COMP_WORDS[COMP_CWORD]}" "$prev"
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/logs"
touch "$scratch/logfile"

# Two tools, plus names that are not progress segments of a tool.
: >/dev/shm/zpr_progress.4242
: >/dev/shm/zpr_progress.77
: >/dev/shm/zpr_progress.junk
: >/dev/shm/zpr_progress.
: >/dev/shm/other.4243

run_cases() {
  local mode=$1
  check "$mode: --no" "--no-log --no-syslog" "$(complete_line zpr_monitor --no)"
  check "$mode: --sel" "--selftest" "$(complete_line zpr_monitor --sel)"
  check "$mode: --log" "--log --log-path" "$(complete_line zpr_monitor --log)"
  check "$mode: a plain word" "" "$(complete_line zpr_monitor 12)"
  check "$mode: --pid" "4242 77" "$(complete_line zpr_monitor --pid '')"
  check "$mode: -p 4" "4242" "$(complete_line zpr_monitor -p 4)"
  check "$mode: --dump --pid 7" "77" "$(complete_line zpr_monitor --dump --pid 7)"
  check "$mode: --interval" "" "$(complete_line zpr_monitor --interval '')"
  check "$mode: --wait" "" "$(complete_line zpr_monitor --wait '')"
  check "$mode: --log-path" "$scratch/logs" \
    "$(complete_line zpr_monitor --log-path "$scratch/lo" | sed 's:/$::')"
}

# Plain bash, without the bash-completion helpers.
# shellcheck source=/dev/null
source "$script"
[[ $(complete -p zpr_monitor) == *"-F _zpr_monitor zpr_monitor" ]] || {
  echo "FAIL: the script does not register _zpr_monitor" >&2
  failures=$((failures + 1))
}
run_cases plain
check "plain: --pid=" "4242 77" "$(complete_line zpr_monitor --pid=)"
check "plain: --pid = 4" "4242" "$(complete_line zpr_monitor --pid = 4)"
check "plain: --pid =" "4242 77" "$(complete_line zpr_monitor --pid =)"

# With bash-completion loaded, as on a normal system; readline splits
# "--pid=7" into three words.
# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=/dev/null
source "$script"
run_cases bash-completion
check "bash-completion: --pid=7" "77" "$(complete_line zpr_monitor --pid = 7)"

# No segments at all: nothing to offer.
rm -f /dev/shm/zpr_progress.*
check "no segments: --pid" "" "$(complete_line zpr_monitor --pid '')"

((failures == 0)) || exit 1
echo "completion: ok"
