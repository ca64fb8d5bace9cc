# bash completion for qelsms. The subcommands and options come from the
# tool's own --help, so the completion follows the installed version.

_qelsms_options() {
  # Option names at the start of the help's lines: "  -m,--message TEXT".
  "$1" "${@:2}" --help 2>/dev/null |
    sed -n 's/^  \(-[A-Za-z0-9-]*\(,--[A-Za-z0-9-]*\)\?\).*/\1/p' | tr ',' '\n'
}

_qelsms_subcommands() {
  "$1" --help 2>/dev/null | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' | tr '\n' ' '
}

_qelsms() {
  local cur prev words cword
  _init_completion || return
  local program=${words[0]} subcommand="" word
  local subcommands
  subcommands=$(_qelsms_subcommands "$program")
  for word in "${words[@]:1:cword-1}"; do
    if [[ " $subcommands " == *" $word "* ]]; then
      subcommand=$word
      break
    fi
  done

  case $prev in
    --password-file | --cacert | --message-file | --numbers-file)
      _filedir
      return
      ;;
  esac
  # A CSV file of records for custom.
  if [[ $subcommand == custom && $cur != -* ]]; then
    _filedir
    return
  fi
  if [[ $cur == -* ]]; then
    local options
    options=$(_qelsms_options "$program")
    [[ -n $subcommand ]] && options+=$'\n'$(_qelsms_options "$program" "$subcommand")
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  if [[ -z $subcommand ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$subcommands" -- "$cur")
  fi
}
complete -F _qelsms qelsms
