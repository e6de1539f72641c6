#!/usr/bin/env bash
# The manual page formats without a single warning, has the usual
# sections, and documents every option the program's help names.
#
# usage: man_page.sh <page> <zpr_monitor>
set -euo pipefail
page=$1 monitor=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff -man -ww -z: $warnings"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man --warnings: $warnings"

rendered=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "DUMP FORMAT" "EXIT STATUS" \
               FILES ENVIRONMENT EXAMPLES; do
  grep -qx "$section" <<<"$rendered" || fail "no section $section"
done

# Every option of the help text, and the two answered before it.
help=$("$monitor" --help --no-syslog --no-log 2>/dev/null)
options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
[[ -n $options ]] || fail "no options found in the help text"
for option in $options --version --selftest -p -h; do
  grep -qE -- "(^| )$option( |,|$)" <<<"$rendered" || fail "option $option not documented"
done

version=$("$monitor" --version) || fail "zpr_monitor --version failed"
[[ $version == "zpr_monitor "?* ]] || fail "zpr_monitor --version printed '$version'"
for text in /dev/shm/zpr_progress.pid /var/log/zpr/monitor.log OPENSSL_ia32cap "$version"; do
  grep -qF -- "$text" <<<"$rendered" || fail "manual page does not mention $text"
done
for status in 0 1 2; do
  grep -qE "^ +$status +[A-Z]" <<<"$rendered" || fail "exit status $status not described"
done
echo "manual page: ok"
