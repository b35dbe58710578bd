#!/usr/bin/env bash
# Fails when the shared library's dynamic symbol table holds anything but the
# public API of vty::config::ini and the C interface: no private helpers, no
# standard-library instantiations; and when the C functions exported and those
# the C header declares differ, either way.
#   tests/check_exports.sh LIBRARY C-HEADER
set -euo pipefail
symbols=$(nm -DC --defined-only "$1" | cut -d' ' -f3-)
# Every declaration of the header begins "VTY_INI_API type name(".
declared=$(tr '\n' ' ' <"$2" | grep -oE 'VTY_INI_API [^(;]*\(' |
  grep -oE 'vty_ini_[a-z0-9_]+ ?\($' | tr -d ' (' | sort)
exported=$(nm -D --defined-only "$1" | awk '$2 == "T" && $3 ~ /^vty_ini_/ {print $3}' |
  sort)
if [ "$declared" != "$exported" ]; then
  echo "C functions declared but not exported (<) or exported undeclared (>):"
  diff <(echo "$declared") <(echo "$exported") | grep '^[<>]'
  exit 1
fi
echo "$(wc -l <<<"$exported") C functions, each declared and exported"
public='^((typeinfo|typeinfo name|vtable) for )?vty::config::ini::|^[^(]* vty::config::ini::(Read|Write|Parse|Format)Value<|^vty_ini_[a-z0-9_]+$'
unexpected=$(grep -vE "$public" <<<"$symbols" || true)
private=$(grep -E 'ini::detail::|anonymous namespace' <<<"$symbols" || true)
if [ -n "$unexpected$private" ]; then
  echo "exported but not public API:"
  printf '%s\n' "$unexpected" "$private" | grep -v '^$'
  exit 1
fi
grep -q 'vty::config::ini::ReadString' <<<"$symbols" || { echo "no ReadString"; exit 1; }
# Each typed value has both reads, the write, the parse and the format.
for type in bool int long 'long long' 'unsigned int' 'unsigned long' \
    'unsigned long long' float double; do
  forms=$(grep -cE "ini::(Read|Write|Parse|Format)Value<$type>\(" <<<"$symbols")
  echo "typed forms of $type: $forms"; [ "$forms" -eq 5 ] || exit 1
done
echo "$(wc -l <<<"$symbols") symbols, all public API"
