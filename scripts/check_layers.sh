#!/usr/bin/env bash
# The tree's layers, lowest first. A source file may include only files of its
# own layer or lower ones, and no library may link one that links it back.
# A path belongs to the longest folder of the table that it starts with;
# paths under no folder of the table (system headers) are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."

layers='
platform
primitives
globaltopo
driver/base
streaming
usbaudio/requests usbaudio/controls usbaudio/units
effects
usbaudio
asio
driver/adapter
sim
tests bench fuzz
'

# Every include of the tree as "file include".
includes() {
  grep -rHoE '^#include "[^"]+"' --include='*.h' --include='*.cpp' --include='*.cc' \
    platform primitives globaltopo driver streaming usbaudio effects asio sim tests bench fuzz 2>/dev/null |
    sed -E 's/:#include "([^"]+)"$/ \1/'
}

# Every library link of the tree as "library dependency", from lt_library
# and target_link_libraries calls; a library's folder is its call's.
links() {
  find . -name CMakeLists.txt -not -path './build*' -not -path './.git/*' | sort |
    while read -r f; do
      dir=${f#./}; dir=${dir%/CMakeLists.txt}
      tr '\n' ' ' <"$f" | tr ')' '\n' | sed -nE 's/.*(lt_library|target_link_libraries|add_library)\(([^(]*)$/\1 \2/p' |
        awk -v dir="$dir" '{
          kind = $1; name = $2; first = 3
          if (name ~ /[$]/) next
          if (kind == "lt_library") {
            folder = $3; gsub(/"/, "", folder); sub(/;.*/, "", folder)
            print "DEF", name, dir "/" folder; first = 4
          }
          else if (kind == "add_library") { print "DEF", name, dir "/x"; next }
          for (i = first; i <= NF; ++i)
            if ($i !~ /^(PUBLIC|PRIVATE|INTERFACE|STATIC)$/ && $i !~ /[$:]/) print "LINK", name, $i
        }'
    done
}

{
  echo "$layers" | awk 'NF { print "LAYER", NR, $0 }'
  includes | awk '{ print "INC", $1, $2 }'
  links
} | awk '
  function layer(path,   f, best, n) {
    best = -1; n = 0
    for (f in rank) if (index(path "/", f "/") == 1 && length(f) > n) { n = length(f); best = rank[f] }
    return best
  }
  function clean(p) { sub(/^\.\//, "", p); gsub(/\/\.\//, "/", p); sub(/\/\.$/, "", p); return p }
  $1 == "LAYER" { for (i = 3; i <= NF; ++i) rank[$i] = $2; next }
  $1 == "INC" { inc[++ni] = $2 " " $3; next }
  $1 == "DEF" { home[$2] = clean($3); next }
  $1 == "LINK" { edge[$2] = edge[$2] " " $3; next }
  function visit(lib,   n, deps, i) {
    if (state[lib] == 1) { print "library link circle through " lib; bad = 1; return }
    if (state[lib] == 2) return
    state[lib] = 1
    n = split(edge[lib], deps, " ")
    for (i = 1; i <= n; ++i) if (deps[i] in home) {
      if (layer(home[deps[i]]) > layer(home[lib])) { print lib " links " deps[i] ", a higher layer"; bad = 1 }
      visit(deps[i])
    }
    state[lib] = 2
  }
  END {
    for (i = 1; i <= ni; ++i) {
      split(inc[i], p, " ")
      from = layer(p[1]); to = layer(p[2])
      if (from >= 0 && to > from) { print p[1] " includes " p[2] ", a higher layer"; bad = 1 }
    }
    for (lib in home) visit(lib)
    if (bad) exit 1
    print "layers: every include and library link runs downward"
  }'
