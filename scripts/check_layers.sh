#!/usr/bin/env bash
# The tree's order in one table, and the scan that holds every include and
# library link to it.
#
# The table: one line a layer of the tree, lowest first, naming its folders.
# A line "folder: floor < floor < ..." orders a folder inside the same way,
# lowest floor first: a floor names one or more of the folder's subfolders,
# and "root" stands for the files directly in the folder. The rules:
# - every source file lies under a folder of the layer table and, inside a
#   folder with an order, under a floor of it;
# - an include or a library link runs to its own layer or a lower one, and
#   inside a folder with an order to its own floor or a lower one; no library
#   links one that links it back;
# - folders that share a parent never include each other in a circle. A
#   folder's own files and a folder inside it may, on purpose: primitives/
#   (dsp.h is the interface every family implements, DspDispatch.cpp the
#   table over them all), primitives/fft/ (its interfaces and spec beside the
#   levels and variants that implement them).
# An include is judged by the file it names once "." and ".." are resolved,
# beside the including file or from the root; every C or C++ file is
# scanned, and so is every file an include names, whatever its name.
set -euo pipefail
cd "$(dirname "$0")/.."

table='
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
usbaudio: table < device < uac1 topology < uac2 timed chip_model < root
'

# Every file of the tree: what git sees of the work tree (ignored files left
# out), or every file outside the build folders where there is no git.
tree_files() {
  if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
    git ls-files --cached --others --exclude-standard
  else
    find . \( -path './build*' -o -path ./.git \) -prune -o -type f -print | sed 's|^\./||'
  fi | while IFS= read -r f; do if [ -f "$f" ]; then printf '%s\n' "$f"; fi; done | sort -u
}

# Every command call of the CMake files (CMakeLists.txt, *.cmake) among the
# files named on stdin, one a line:
# "CALL file function command arguments..." (tab-separated; function is the
# function or macro the call stands in, "-" outside any; the command in lower
# case, as CMake reads it in any case). Line and bracket comments are dropped,
# a quoted or bracket argument is one argument, parentheses nest.
cmake_calls() {
  awk '
    function opener(i,   j) {
      if (substr(t, i, 1) != "[") return 0
      for (j = i + 1; substr(t, j, 1) == "="; ++j) ;
      return substr(t, j, 1) == "[" ? j - i + 1 : 0
    }
    # The text of the bracket at i whose opener is w long; pos is set after it.
    function bracket(i, w,   shut, body, k) {
      shut = "]"; for (k = 2; k < w; ++k) shut = shut "="; shut = shut "]"
      body = substr(t, i + w); k = index(body, shut)
      if (!k) { pos = length(t) + 1; return body }
      pos = i + w + k - 1 + length(shut)
      return substr(body, 1, k - 1)
    }
    function arg(s) { gsub(/[\t\r\n]/, " ", s); args = args "\t" s; if (nargs++ == 0) first = tolower(s) }
    function call() {
      if (cmd == "function" || cmd == "macro") ctx[++nctx] = first
      else if (cmd == "endfunction" || cmd == "endmacro") { if (nctx) --nctx }
      else print "CALL\t" f "\t" (nctx ? ctx[nctx] : "-") "\t" cmd args
    }
    $0 ~ /(^|\/)CMakeLists\.txt$|\.cmake$/ {
      f = $0; t = ""
      while ((getline line < f) > 0) t = t line "\n"
      close(f)
      n = length(t); i = 1; depth = 0; nctx = 0
      while (i <= n) {
        c = substr(t, i, 1)
        if (c == "#") {
          w = opener(i + 1)
          if (w) { bracket(i + 1, w); i = pos }
          else { k = index(substr(t, i), "\n"); i = k ? i + k : n + 1 }
        } else if (!depth) {
          if (c !~ /[A-Za-z_]/) { ++i; continue }
          for (j = i; substr(t, j, 1) ~ /[A-Za-z0-9_]/; ++j) ;
          cmd = tolower(substr(t, i, j - i))
          for (; substr(t, j, 1) ~ /[ \t]/; ++j) ;
          i = j
          if (substr(t, j, 1) == "(") { depth = 1; args = ""; nargs = 0; ++i }
        } else if (c == "(") { ++depth; ++i }
        else if (c == ")") { if (--depth == 0) call(); ++i }
        else if (c ~ /[ \t\r\n]/) ++i
        else if (c == "\"") {
          word = ""
          for (j = i + 1; j <= n && (d = substr(t, j, 1)) != "\""; ++j) {
            if (d == "\\") d = substr(t, ++j, 1)
            word = word d
          }
          arg(word); i = j + 1
        } else if ((w = opener(i)) > 0) { word = bracket(i, w); arg(word); i = pos }
        else {
          for (j = i; j <= n && (d = substr(t, j, 1)) !~ /[ \t\r\n()"#]/; ++j) if (d == "\\") ++j
          arg(substr(t, i, j - i)); i = j
        }
      }
    }'
}

files=$(tree_files)
{
  printf '%s\n' "$table" | sed 's/^/ROW\t/'
  printf '%s\n' "$files" | sed 's/^/FILE\t/'
  printf '%s\n' "$files" | cmake_calls
} | awk -F '\t' '
  function dir(p) { if (p !~ /\//) return ""; sub(/\/[^\/]*$/, "", p); return p }
  # "a/./b/../c" as "a/c".
  function norm(p,   n, i, part, out, k) {
    n = split(p, part, "/"); k = 0
    for (i = 1; i <= n; ++i) {
      if (part[i] == "." || part[i] == "") continue
      if (part[i] == ".." && k > 0 && out[k] != "..") { --k; continue }
      out[++k] = part[i]
    }
    p = ""
    for (i = 1; i <= k; ++i) p = p (i > 1 ? "/" : "") out[i]
    return p
  }
  function fail(message) { print message; bad = 1 }

  # The table: rank[folder, member] is the floor of a member of an ordered
  # folder ("" the tree, whose floors are the layers).
  function row(line,   c, n, fl, i, m, k, j) {
    if (line !~ /[^ \t]/) return
    c = ""
    if (index(line, ":")) {
      c = norm(substr(line, 1, index(line, ":") - 1)); line = substr(line, index(line, ":") + 1)
      n = split(line, fl, "<")
    } else { n = 1; fl[1] = line }
    ordered[c] = 1
    for (i = 1; i <= n; ++i) {
      ++top[c]
      k = split(fl[i], m, " ")
      for (j = 1; j <= k; ++j) {
        if ((c, m[j]) in rank) fail("the table orders " (c == "" ? "" : c "/") m[j] " twice")
        rank[c, m[j]] = top[c]
      }
    }
  }
  # The floor of file p in ordered folder c, 0 for none; member is set to the
  # subfolder of c it lies in, or "root".
  function floor_of(c, p,   rel) {
    rel = c == "" ? p : substr(p, length(c) + 2)
    member = rel ~ /\// ? substr(rel, 1, index(rel, "/") - 1) : "root"
    return (c, member) in rank ? rank[c, member] : 0
  }
  # Whether the file f reaches up to the file t: judged in the deepest ordered
  # folder holding both; how is set to the layers it climbs.
  function upward(f, t,   c, a, b, ma) {
    c = dir(f)
    while (c != "" && !(index(dir(t) "/", c "/") == 1 && (c in ordered))) c = dir(c)
    a = floor_of(c, f); ma = member; b = floor_of(c, t)
    how = "a higher layer" (c == "" ? "" : " of " c) " (" ma " < " member ")"
    return a && b && a < b
  }

  # The includes: every file a scanned file names, scanned in turn.
  function enqueue(p) { if (!(p in queued)) { queued[p] = 1; queue[++nq] = p } }
  function target(from, kind, inc,   local, rooted, head) {
    if (kind == "q") { local = norm(dir(from) "/" inc); if (local in tree) return local }
    rooted = norm(inc)
    if (rooted in tree) return rooted
    head = rooted; sub(/\/.*/, "", head)
    return kind == "q" && (("", head) in rank) ? rooted : ""
  }
  function scan(f,   line, more, rest, d, kind, t) {
    while ((getline line < f) > 0) {
      while (line ~ /\\$/ && (getline more < f) > 0) line = substr(line, 1, length(line) - 1) more
      if (line !~ /#|%:/) continue
      if (index(line, "/*")) gsub(/\/\*([^*]|\*+[^*\/])*\*+\//, " ", line)
      if (line ~ "^" DIRECTIVE && line !~ "^" DIRECTIVE PATH)
        fail(f ": an include the check cannot read: " line)
      for (rest = line; match(rest, DIRECTIVE PATH); rest = substr(rest, RSTART + RLENGTH)) {
        d = substr(rest, RSTART, RLENGTH); sub(DIRECTIVE "[ \t]*", "", d)
        kind = substr(d, 1, 1) == "<" ? "a" : "q"
        t = target(f, kind, substr(d, 2, length(d) - 2))
        if (t == "") continue
        # A file moved away leaves its old name behind in the includes.
        if (!(t in tree)) { fail(f " includes " t ", a file the tree does not hold"); continue }
        enqueue(t)
        from[++ni] = f; to[ni] = t
      }
    }
    close(f)
  }

  # The links: lt_library(name folders libs...) and lt_test(name folder
  # libs...) make a target in their folder, as add_library and
  # add_executable do in theirs; target_link_libraries links one. A name
  # spelled with a variable stands for the target its file makes under the
  # same spelling.
  function key(name, file) { return name ~ /[$]/ ? name "@" file : name }
  function shown(name) { sub(/@.*/, "", name); return name }
  # A file standing in for a target in the folder it is made in.
  function inside(name) { return home[name] == "" ? "-" : home[name] "/-" }
  function make(name, folder) { if (!(name in home)) { home[name] = folder; libs[++nl] = name } }
  function link(name, dep, file) { ++nk; lfrom[nk] = name; lto[nk] = key(dep, file); lfile[nk] = file }
  function cmake(   file, cmd, name, i, j, n, item, folder, first) {
    file = $2; cmd = $4
    if (!(cmd in links_made)) return
    if ($3 in reads) return
    if ($3 != "-") { fail(file ": " $3 "() makes or links targets, which the check reads only at calls of lt_library and lt_test"); return }
    if (cmd == "link_libraries") { fail(file ": link_libraries() links every target after it; link each by name with target_link_libraries"); return }
    if (cmd == "cmake_language") { fail(file ": cmake_language() calls a command the check cannot read"); return }
    name = key($5, file); first = 6
    if (cmd in reads) { folder = $6; sub(/;.*/, "", folder); make(name, norm(dir(file) "/" folder)); first = 7 }
    else if (cmd != "target_link_libraries") {
      make(name, dir(file))
      if ($6 == "ALIAS") link(name, $7, file)
      return
    }
    for (i = first; i <= NF; ++i) {
      n = split($i, item, ";")
      for (j = 1; j <= n; ++j) if (item[j] !~ KEYWORD && item[j] != "") link(name, item[j], file)
    }
  }

  # A depth-first walk of graph g that reports each circle once, from the
  # edge that closes it.
  function walk(g, node,   n, next_, i, j, path) {
    state[g, node] = 1; stack[++depth] = node
    n = split(adj[g, node], next_, " ")
    for (i = 1; i <= n; ++i) {
      if (state[g, next_[i]] == 1) {
        path = ""
        for (j = 1; j <= depth; ++j) if (path != "" || stack[j] == next_[i]) path = path shown(stack[j]) " -> "
        fail(g " circle: " path shown(next_[i]) why[g, node, next_[i]])
      } else if (!state[g, next_[i]]) walk(g, next_[i])
    }
    state[g, node] = 2; --depth
  }
  function edge(g, a, b, reason) {
    if ((g, a, b) in why) return
    why[g, a, b] = reason; adj[g, a] = adj[g, a] " " b
    if (!((g, a) in listed)) { listed[g, a] = 1; nodes[g, ++count[g]] = a }
  }

  BEGIN {
    ordered[""] = 1
    DIRECTIVE = "[ \t]*(#|%:)[ \t]*(include_next|include|import)"
    PATH = "[ \t]*(\"[^\"]*\"|<[^>]*>)"
    KEYWORD = "^(PUBLIC|PRIVATE|INTERFACE|LINK_PUBLIC|LINK_PRIVATE|LINK_INTERFACE_LIBRARIES|debug|optimized|general)$"
    SOURCE = "\\.(c|cc|cp|cpp|cxx|c\\+\\+|h|hh|hp|hpp|hxx|h\\+\\+|tcc|inc|inl|ipp|tpp|ixx|cppm)$"
    split("lt_library lt_test add_library add_executable target_link_libraries link_libraries cmake_language", m, " ")
    for (i in m) links_made[m[i]] = 1
    reads["lt_library"] = 1; reads["lt_test"] = 1
  }
  $1 == "ROW" { row($2); next }
  $1 == "FILE" { tree[$2] = 1; if (tolower($2) ~ SOURCE) enqueue($2); next }
  $1 == "CALL" { cmake(); next }
  END {
    for (q = 1; q <= nq; ++q) scan(queue[q])
    for (q = 1; q <= nq; ++q)
      for (c = dir(queue[q]); ; c = dir(c)) {
        if ((c in ordered) && !floor_of(c, queue[q]))
          fail(queue[q] " lies under no " (c == "" ? "folder of the layer table" : "floor of " c))
        if (c == "") break
      }
    for (i = 1; i <= ni; ++i) {
      if (upward(from[i], to[i])) { fail(from[i] " includes " to[i] ", " how); continue }
      # The two folders below the deepest one holding both files; none when
      # one file lies in the folder of the other or above it.
      na = split(dir(from[i]), a, "/"); nb = split(dir(to[i]), b, "/")
      for (k = 0; k < na && k < nb && a[k + 1] == b[k + 1]; ++k) ;
      if (k >= na || k >= nb) continue
      ca = a[1]; cb = b[1]
      for (j = 2; j <= k + 1; ++j) { ca = ca "/" a[j]; cb = cb "/" b[j] }
      edge("folder", ca, cb, " (" from[i] " includes " to[i] ")")
    }
    for (i = 1; i <= count["folder"]; ++i) if (!state["folder", nodes["folder", i]]) walk("folder", nodes["folder", i])
    for (i = 1; i <= nk; ++i) {
      if (!(lfrom[i] in home)) { fail(lfile[i] ": the check cannot read the target " shown(lfrom[i])); continue }
      if (!(lto[i] in home)) {
        if (lto[i] ~ /[$]/ && floor_of("", inside(lfrom[i])) != top[""])
          fail(lfile[i] ": the check cannot read the library " shown(lto[i]) " that " shown(lfrom[i]) " links")
        continue
      }
      if (upward(inside(lfrom[i]), inside(lto[i]))) fail(shown(lfrom[i]) " links " shown(lto[i]) ", " how)
      else edge("library link", lfrom[i], lto[i], "")
    }
    for (i = 1; i <= nl; ++i) if (!state["library link", libs[i]]) walk("library link", libs[i])
    if (bad) exit 1
    print "layers: every source file in a layer, every include and library link downward, no circle"
  }' | sort -u
