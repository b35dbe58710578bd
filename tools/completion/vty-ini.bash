# bash completion for vty-ini: commands, options, files, and the sections and
# keys of the FILE named on the command line (asked of vty-ini itself).

# Sets COMPREPLY to the lines of $1 that begin with $2.
_vty_ini_reply() {
  local IFS=$'\n'
  mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
}

# The same for names (sections, keys): each reply quoted for the shell, so
# that a name with a blank stays one word; $2 may be typed quoted.
_vty_ini_names() {
  local typed
  typed=$(_vty_ini_unquote "$2")
  _vty_ini_reply "$1" "$typed"
  local i
  for i in "${!COMPREPLY[@]}"; do
    printf -v 'COMPREPLY[i]' '%q' "${COMPREPLY[i]}"
  done
}

# A word as typed, without its quotes and backslashes: what it names.
_vty_ini_unquote() {
  local word=$1
  case $word in
    \'*) word=${word#\'}; word=${word%\'} ;;
    \"*) word=${word#\"}; word=${word%\"} ;;
    *) word=$(printf '%s' "$word" | sed 's/\\\(.\)/\1/g') ;;
  esac
  printf '%s' "$word"
}

_vty_ini() {
  local cur=${COMP_WORDS[COMP_CWORD]} word
  local -a operands=()
  local value=
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    # An option's value in the next word is no operand.
    if [[ -n $value ]]; then value=; continue; fi
    case $word in
      --default | --type | --format | --prefix | --list-sep | \
        --inline-comments | --comment | --default-section | --layer | --env)
        value=1 ;;
      --*) ;;
      *) operands+=("$word") ;;
    esac
  done
  if [[ $cur == --* ]]; then
    _vty_ini_reply $'--default\n--raw\n--type\n--format\n--existing
--verbose\n--dry-run\n--output=-\n--inplace\n--list\n--list-sep\n--json
--all\n--add\n--comment\n--inline-comments\n--last\n--continuation
--no-quotes\n--default-section\n--layer\n--env\n--show-origin\n--help
--version' "$cur"
    return
  fi
  case ${COMP_WORDS[COMP_CWORD - 1]} in
    --type) _vty_ini_reply $'int\nuint\nbool\nfloat' "$cur"; return ;;
    --format) _vty_ini_reply $'sh\nini\nlines' "$cur"; return ;;
    --default-section)
      [[ -r ${operands[1]:-} ]] &&
        _vty_ini_names "$(vty-ini sections "${operands[1]}" 2>/dev/null)" "$cur"
      return
      ;;
    --layer) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
    --default | --list-sep | --inline-comments | --comment | --env) return ;;
  esac
  local file
  file=$(_vty_ini_unquote "${operands[1]:-}")
  case ${#operands[@]} in
    0)
      _vty_ini_reply $'get\ncat\nset\nmerge\ndel\ndel-section\nrename-section
sections\nsection\ncomment\ndump\ncheck' "$cur"
      ;;
    1) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    2)
      [[ -r $file ]] && _vty_ini_names "$(vty-ini sections "$file" 2>/dev/null)" "$cur"
      ;;
    3)
      case ${operands[0]} in
        get | set | del | comment)
          local section
          section=$(_vty_ini_unquote "${operands[2]}")
          [[ -r $file ]] && _vty_ini_names "$(vty-ini dump "$file" 2>/dev/null |
            awk -F '\t' -v s="$section" 'tolower($1) == tolower(s) { print $2 }')" "$cur"
          ;;
      esac
      ;;
  esac
}
complete -F _vty_ini vty-ini
