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
    --profile)
      local dir=${XDG_CONFIG_HOME:-$HOME/.config}/qelsms file names=""
      for file in "$dir"/*.conf; do
        [[ -e $file ]] && names+=" $(basename "$file" .conf)"
      done
      mapfile -t COMPREPLY < <(compgen -W "$names" -- "$cur")
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
    # A subcommand's help lists the tool's own options too.
    options=$({
      _qelsms_options "$program"
      [[ -n $subcommand ]] && _qelsms_options "$program" "$subcommand"
    } | sort -u)
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  if [[ -z $subcommand ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$subcommands" -- "$cur")
  fi
}
complete -F _qelsms qelsms
