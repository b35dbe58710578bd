#!/usr/bin/env bash
# Fails when the shared library's dynamic symbol table holds anything but the
# public API of vty::config::ini: no private helpers, no standard-library
# instantiations.
#   tests/check_exports.sh LIBRARY
set -euo pipefail
symbols=$(nm -DC --defined-only "$1" | cut -d' ' -f3-)
public='^((typeinfo|typeinfo name|vtable) for )?vty::config::ini::|^[^(]* vty::config::ini::(Read|Write|Parse|Format)Value<'
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
