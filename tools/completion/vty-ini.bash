# bash completion for vty-ini: commands, options, files, and the sections and
# keys of the FILE named on the command line (asked of vty-ini itself).

_vty_ini() {
  local cur=${COMP_WORDS[COMP_CWORD]} word
  local -a operands=()
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    [[ $word == --* ]] || operands+=("$word")
  done
  if [[ $cur == --* ]]; then
    COMPREPLY=($(compgen -W '--default --raw --type --format --existing
      --verbose --dry-run --output=- --inplace --list --list-sep --json
      --help --version' -- "$cur"))
    return
  fi
  case ${COMP_WORDS[COMP_CWORD-1]} in
    --type) COMPREPLY=($(compgen -W 'int uint bool float' -- "$cur")); return ;;
    --format) COMPREPLY=($(compgen -W 'sh ini lines' -- "$cur")); return ;;
    --default|--list-sep) return ;;
  esac
  local file=${operands[1]}
  case ${#operands[@]} in
    0)
      COMPREPLY=($(compgen -W 'get set merge del del-section rename-section
        sections section dump check' -- "$cur"))
      ;;
    1) COMPREPLY=($(compgen -f -- "$cur")) ;;
    2)
      [[ -r $file ]] || return
      local IFS=$'\n'
      COMPREPLY=($(compgen -W "$(vty-ini sections "$file" 2>/dev/null)" -- "$cur"))
      ;;
    3)
      case ${operands[0]} in
        get|set|del)
          [[ -r $file ]] || return
          local IFS=$'\n'
          COMPREPLY=($(compgen -W "$(vty-ini dump "$file" 2>/dev/null |
            awk -F '\t' -v s="${operands[2]}" 'tolower($1) == tolower(s) { print $2 }')" \
            -- "$cur"))
          ;;
      esac
      ;;
  esac
}
complete -F _vty_ini vty-ini
