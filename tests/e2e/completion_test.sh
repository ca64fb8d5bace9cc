#!/usr/bin/env bash
# The bash completion of qelsms, as bash-completion loads it:
#   completion_test.sh COMPLETION-SCRIPT QELSMS
# Subcommands and options come from the tool's help, so a subcommand's own
# options complete after it, and the global ones anywhere.
set -uo pipefail
# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=tools/completion/qelsms.bash
source "$1"
PATH=$(dirname "$(realpath "$2")"):$PATH
failures=0

expect() {
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _qelsms
  if [[ "${COMPREPLY[*]}" != "$expected" ]]; then
    echo "'$*': got '${COMPREPLY[*]}', expected '$expected'"
    failures=$((failures + 1))
  fi
}

expect "balance bulk" qelsms b
expect "send segments" qelsms --json se
expect "--numbers-file" qelsms send --numb
expect "--scheduled-date" qelsms bulk --sched
expect "--report-required" qelsms --json send --rep
expect "--json" qelsms bulk --js
expect "" qelsms balance --numb
XDG_CONFIG_HOME=$(mktemp -d)
mkdir "$XDG_CONFIG_HOME/qelsms"
touch "$XDG_CONFIG_HOME/qelsms/shop.conf" "$XDG_CONFIG_HOME/qelsms/staging.conf"
expect "shop staging" qelsms --profile s
expect "--profile" qelsms send --prof
rm -r "$XDG_CONFIG_HOME"
[[ $(complete -p qelsms) == *"-F _qelsms qelsms" ]] || { echo "not registered for qelsms"; failures=$((failures + 1)); }
echo "$failures failures"
exit $((failures > 0))
