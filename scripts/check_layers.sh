#!/usr/bin/env bash
# The tree's layers, lowest first: one line a layer, its folders. It is both
# the rule and the list of what is scanned:
# - every source file lies under a folder of the table;
# - a file includes only files of its own layer or lower ones, and no library
#   links one of a higher layer or one that links it back;
# - folders that share a parent never include each other in a circle (a
#   folder and one inside it may include each other: an umbrella header, a
#   base class beside its family).
set -euo pipefail
cd "$(dirname "$0")/.."

layers='
platform
primitives
globaltopo
framework
streaming
audioclass
effects
usbaudio
asio
driver
sim
tests bench fuzz
'

# Every source file of the tree, built or not.
sources() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' '*.cc' '*.c' '*.hpp'
  else
    find . \( -path './build*' -o -path ./.git \) -prune -o -type f \
      \( -name '*.h' -o -name '*.cpp' -o -name '*.cc' -o -name '*.c' -o -name '*.hpp' \) -print |
      sed 's|^\./||'
  fi | while read -r f; do [ -f "$f" ] && printf '%s\n' "$f"; done | sort -u
}

# Every include of those files, wherever it stands on its line, as
# "file kind path" (kind q for "path", a for <path>).
includes() {
  sources | tr '\n' '\0' | xargs -0 -r grep -HoE '#[[:space:]]*include[[:space:]]*("[^"]+"|<[^>]+>)' |
    sed -E 's/^([^:]+):#[[:space:]]*include[[:space:]]*"([^"]+)"$/\1 q \2/;
            s/^([^:]+):#[[:space:]]*include[[:space:]]*<([^>]+)>$/\1 a \2/'
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
  echo "$layers" | awk 'NF { print "LAYER", ++n, $0 }'
  sources | awk '{ print "FILE", $0 }'
  includes | awk '{ print "INC", $1, $2, $3 }'
  links
} | awk '
  function layer(path,   f, best, n) {
    best = -1; n = 0
    for (f in rank) if (index(path "/", f "/") == 1 && length(f) > n) { n = length(f); best = rank[f] }
    return best
  }
  function clean(p) { sub(/^\.\//, "", p); gsub(/\/\.\//, "/", p); sub(/\/\.$/, "", p); return p }
  function dir(p) { if (p !~ /\//) return ""; sub(/\/[^\/]*$/, "", p); return p }
  # "a/b/../c" as "a/c".
  function norm(p,   n, i, part, out, k) {
    n = split(p, part, "/"); k = 0
    for (i = 1; i <= n; ++i) {
      if (part[i] == "." || part[i] == "") continue
      if (part[i] == ".." && k > 0) { --k; continue }
      out[++k] = part[i]
    }
    p = ""
    for (i = 1; i <= k; ++i) p = p (i > 1 ? "/" : "") out[i]
    return p
  }
  # The file an include names: beside the including file, else from the root;
  # "" for a header from outside the tree.
  function target(from, kind, inc,   local, top) {
    local = norm(dir(from) "/" inc)
    if (kind == "q" && (local in file)) return local
    if (inc in file) return inc
    top = inc; sub(/\/.*/, "", top)
    if (kind == "q" && (top in rank)) return inc
    return ""
  }
  $1 == "LAYER" { for (i = 3; i <= NF; ++i) rank[$i] = $2; next }
  $1 == "FILE" { file[$2] = 1; next }
  $1 == "INC" { inc[++ni] = $2 " " $3 " " $4; next }
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
  # Folders that share a parent, as a graph; a depth-first walk finds the
  # include that closes a circle.
  function walk(node,   n, next_, i, j, path) {
    seen[node] = 1; onpath[node] = 1; stack[++depth] = node
    n = split(out[node], next_, " ")
    for (i = 1; i <= n; ++i) {
      if (onpath[next_[i]]) {
        path = ""
        for (j = 1; j <= depth; ++j) if (path != "" || stack[j] == next_[i]) path = path stack[j] " -> "
        print "folder circle: " path next_[i] " (" why[node SUBSEP next_[i]] ")"; bad = 1
      } else if (!seen[next_[i]]) walk(next_[i])
    }
    onpath[node] = 0; --depth
  }
  END {
    for (f in file) if (layer(f) < 0) { print f " lies under no folder of the layer table"; bad = 1 }
    for (i = 1; i <= ni; ++i) {
      split(inc[i], p, " ")
      to_file = target(p[1], p[2], p[3])
      if (to_file == "") continue
      from = layer(p[1]); to = layer(to_file)
      if (from >= 0 && to > from) { print p[1] " includes " to_file ", a higher layer"; bad = 1 }
      # The two folders below the deepest one holding both files.
      na = split(dir(p[1]), a, "/"); nb = split(dir(to_file), b, "/")
      if (dir(p[1]) == "") na = 0
      if (dir(to_file) == "") nb = 0
      for (k = 0; k < na && k < nb && a[k + 1] == b[k + 1]; ++k) ;
      if (k >= na || k >= nb) continue
      ca = ""; cb = ""
      for (j = 1; j <= k + 1; ++j) { ca = ca (j > 1 ? "/" : "") a[j]; cb = cb (j > 1 ? "/" : "") b[j] }
      if (!((ca SUBSEP cb) in why)) { why[ca SUBSEP cb] = p[1] " includes " to_file; out[ca] = out[ca] " " cb }
      node[ca] = 1
    }
    for (f in node) if (!seen[f]) walk(f)
    for (lib in home) visit(lib)
    if (bad) exit 1
    print "layers: every source file in a layer, every include and library link downward, no folder circle"
  }'
