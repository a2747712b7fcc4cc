#!/usr/bin/env bash
# The generated bash completion completes scryde's commands, each command's options and the values of
# options that take one of a few words.
#   completion.sh SCRYDE COMPLETION_FILE
set -euo pipefail
scryde=$1
# shellcheck source=/dev/null
source "$2"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Completes the last word of the words given, as bash does on Tab.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _scryde
  echo "${COMPREPLY[*]}"
}
expect() {
  local want=$1
  shift
  local got
  got=$(complete_words "$@")
  [ "$got" = "$want" ] || fail "'$*' completes to '$got', not '$want'"
}

# Every command scryde lists, and nothing else but the two global options.
commands=$("$scryde" --help | sed -n '/^Commands:/,/^$/p' | awk 'NF > 1 {print $1}' | sort | xargs)
offered=$(complete_words scryde "" | tr ' ' '\n' | grep -v '^--' | sort | xargs)
[ "$commands" = "$offered" ] || fail "offered '$offered', scryde lists '$commands'"

expect "info" scryde inf
expect "decode-jpeg decode-m4v" scryde decode
expect "--help --version" scryde --
expect "--frames --from" scryde play rec.orm --fr
expect "--json" scryde info x.tav --js
expect "orma tav stream" scryde info x --kind ""
expect "cluster block" scryde check --drive 1 --level ""
expect "orma tav --help" scryde sim ""
expect "--image" scryde sim orma out.orm --ima
expect "" scryde info rec  # a file name: left to bash's own completion
echo "completion offers: $commands"
