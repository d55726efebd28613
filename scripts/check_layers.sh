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
# scanned, and so is every file an include names, whatever its name. A file's
# directives are read as the compiler reads them: lines joined at a
# backslash, comments gone (a block comment is one space, across lines too),
# string and character literals whole.
# The CMake files are read for what can make one layer reach another:
# - the include directories (commands, properties, -I and its kin in any
#   call): none but the root, and the system folder find_path finds for a
#   header;
# - the sources a target compiles (add_library, add_executable,
#   target_sources, lt_library's folders, properties): none of a higher layer
#   than the target's folder;
# - the libraries a target links, by name, by -l, by file, in a generator
#   expression, in link options and properties: judged as links are; a link
#   for every target after it fails.
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
      shut = "]"
      for (k = 2; k < w; ++k) shut = shut "="
      shut = shut "]"
      body = substr(t, i + w)
      k = index(body, shut)
      if (!k) {
        pos = length(t) + 1
        return body
      }
      pos = i + w + k - 1 + length(shut)
      return substr(body, 1, k - 1)
    }
    function arg(s) {
      gsub(/[\t\r\n]/, " ", s)
      args = args "\t" s
      if (nargs++ == 0) first = tolower(s)
    }
    function call() {
      if (cmd == "function" || cmd == "macro") {
        ctx[++nctx] = first
      } else if (cmd == "endfunction" || cmd == "endmacro") {
        if (nctx) --nctx
      } else {
        print "CALL\t" f "\t" (nctx ? ctx[nctx] : "-") "\t" cmd args
      }
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
          if (w) {
            bracket(i + 1, w)
            i = pos
          } else {
            k = index(substr(t, i), "\n")
            i = k ? i + k : n + 1
          }
        } else if (!depth) {
          if (c !~ /[A-Za-z_]/) {
            ++i
            continue
          }
          for (j = i; substr(t, j, 1) ~ /[A-Za-z0-9_]/; ++j) ;
          cmd = tolower(substr(t, i, j - i))
          for (; substr(t, j, 1) ~ /[ \t]/; ++j) ;
          i = j
          if (substr(t, j, 1) == "(") {
            depth = 1
            args = ""
            nargs = 0
            ++i
          }
        } else if (c == "(") {
          ++depth
          ++i
        } else if (c == ")") {
          if (--depth == 0) call()
          ++i
        } else if (c ~ /[ \t\r\n]/) {
          ++i
        } else if (c == "\"") {
          word = ""
          for (j = i + 1; j <= n && (d = substr(t, j, 1)) != "\""; ++j) {
            if (d == "\\") d = substr(t, ++j, 1)
            word = word d
          }
          arg(word)
          i = j + 1
        } else if ((w = opener(i)) > 0) {
          word = bracket(i, w)
          arg(word)
          i = pos
        } else {
          # An unquoted argument: a backslash escapes the character after it.
          for (j = i; j <= n && (d = substr(t, j, 1)) !~ /[ \t\r\n()"#]/; ++j)
            if (d == "\\") ++j
          arg(substr(t, i, j - i))
          i = j
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
  function dir(p) {
    if (p !~ /\//) return ""
    sub(/\/[^\/]*$/, "", p)
    return p
  }
  # "a/./b/../c" as "a/c".
  function norm(p,   n, i, part, out, k) {
    n = split(p, part, "/"); k = 0
    for (i = 1; i <= n; ++i) {
      if (part[i] == "." || part[i] == "") continue
      if (part[i] == ".." && k > 0 && out[k] != "..") {
        --k
        continue
      }
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
      c = norm(substr(line, 1, index(line, ":") - 1))
      line = substr(line, index(line, ":") + 1)
      n = split(line, fl, "<")
    } else {
      n = 1
      fl[1] = line
    }
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
    # floor_of sets member anew at each call: keep the first before the second.
    a = floor_of(c, f)
    ma = member
    b = floor_of(c, t)
    how = "a higher layer" (c == "" ? "" : " of " c) " (" ma " < " member ")"
    return a && b && a < b
  }

  # The includes: every file a scanned file names, scanned in turn.
  function enqueue(p) {
    if (!(p in queued)) {
      queued[p] = 1
      queue[++nq] = p
    }
  }
  function target(from, kind, inc,   local, rooted, head) {
    if (kind == "q") {
      local = norm(dir(from) "/" inc)
      if (local in tree) return local
    }
    rooted = norm(inc)
    if (rooted in tree) return rooted
    head = rooted
    sub(/\/.*/, "", head)
    return kind == "q" && (("", head) in rank) ? rooted : ""
  }
  # The directives of file f, each logical line as the compiler reads it:
  # joined at a backslash, a comment one space (a block comment may span
  # lines, and the line goes on after it), literals kept whole (a "/*" in
  # one is no comment), raw strings dropped.
  function scan(f,   line, more, cur, c, k, raw, block) {
    cur = ""; raw = ""; block = 0
    while ((getline line < f) > 0) {
      while (sub(/\\[ \t\r]*$/, "", line) && (getline more < f) > 0)
        line = line more
      # A header name in angle brackets is no string, yet holds no comment.
      if (cur == "" && match(line, "^" DIRECTIVE "[ \t]*<[^>]*>")) {
        cur = substr(line, 1, RLENGTH)
        line = substr(line, RLENGTH + 1)
      }
      while (line != "") {
        if (block || raw != "") {
          # Inside a comment or a raw string: drop up to its end.
          k = index(line, block ? "*/" : raw)
          line = k ? substr(line, k + (block ? 2 : length(raw))) : ""
          if (k) {
            block = 0
            raw = ""
          }
        } else if (!match(line, SPECIAL)) {
          cur = cur line
          line = ""
        } else {
          cur = cur substr(line, 1, RSTART - 1)
          line = substr(line, RSTART)
          c = substr(line, 1, 2)
          if (c == "/*") {
            cur = cur " "
            block = 1
            line = substr(line, 3)
          } else if (c == "//") {
            cur = cur " "
            line = ""
          } else if (c ~ /^"/ && cur ~ /(^|[^A-Za-z0-9_])(u8|u|U|L)?R$/ &&
                     match(line, /^"[^ ()\\\t]*\(/)) {
            # A raw string may hold quotes and comment marks: skip to its close.
            raw = ")" substr(line, 2, RLENGTH - 2) "\""
            cur = cur "\"\""
            line = substr(line, RLENGTH + 1)
          } else if (c ~ "^" Q && match(cur, /[A-Za-z0-9_.]*$/) &&
                     substr(cur, RSTART) !~ /^(u8|u|U|L)?$/) {
            cur = cur Q   # a digit separator
            line = substr(line, 2)
          } else {
            k = match(line, LITERAL[substr(c, 1, 1)]) ? RLENGTH : 1
            cur = cur substr(line, 1, k)
            line = substr(line, k + 1)
          }
        }
      }
      if (!block && raw == "") {
        directive(f, cur)
        cur = ""
      }
    }
    close(f)
  }
  function directive(f, line,   d, kind, t) {
    if (line !~ "^" DIRECTIVE) return
    if (!match(line, "^" DIRECTIVE PATH)) {
      fail(f ": an include the check cannot read: " line)
      return
    }
    d = substr(line, RSTART, RLENGTH)
    sub(DIRECTIVE "[ \t]*", "", d)
    kind = substr(d, 1, 1) == "<" ? "a" : "q"
    t = target(f, kind, substr(d, 2, length(d) - 2))
    if (t == "") return
    # A file moved away leaves its old name behind in the includes.
    if (!(t in tree)) {
      fail(f " includes " t ", a file the tree does not hold")
      return
    }
    enqueue(t)
    from[++ni] = f; to[ni] = t
  }

  # The CMake files. lt_library(name folders libs...) and lt_test(name
  # folder libs...) make a target in their (first) folder, as add_library and
  # add_executable do in theirs. A name spelled with a variable stands for
  # the target its file makes under the same spelling.
  function key(name, file) { return name ~ /[$]/ ? name "@" file : name }
  function shown(name) { sub(/@.*/, "", name); return name }
  # A file standing in for a target in the folder it is made in.
  function inside(name) { return home[name] == "" ? "-" : home[name] "/-" }
  function make(name, folder) {
    if (!(name in home)) {
      home[name] = folder
      libs[++nl] = name
    }
  }
  # Target name ("" every target after the call) links a library or compiles
  # a source (unread: a word the check cannot resolve), judged at the end.
  function record(name, kind, to, unread) {
    ++nk
    lfrom[nk] = name
    lkind[nk] = kind
    lto[nk] = to
    lunread[nk] = unread
    lfile[nk] = file
    lcmd[nk] = cmd
  }
  # A path of a CMake file as a path of the tree ("" the root), "?" where
  # the check cannot tell: from the variable of the root or of the folder of
  # the file, or from that folder where relative is 1.
  function resolve(p, relative,   base) {
    base = file ~ /(^|\/)CMakeLists\.txt$/ ? dir(file) : "?"
    if (sub(/^\$\{(PROJECT|CMAKE)_SOURCE_DIR\}/, "", p)) base = ""
    else if (sub(/^\$\{CMAKE_CURRENT_LIST_DIR\}/, "", p)) base = dir(file)
    else if (!sub(/^\$\{CMAKE_CURRENT_SOURCE_DIR\}/, "", p) && (!relative || p ~ /^\//))
      return "?"
    return base == "?" || p ~ /[$]/ ? "?" : norm(base "/" p)
  }
  # An include directory, judged at the end: none but the root, or the
  # system folder find_path(var header) finds.
  function include_dir(d, relative) {
    ++nd
    dfile[nd] = file
    dcmd[nd] = cmd
    dname[nd] = d
    drel[nd] = relative
  }
  # -I and its kin in any call, joined or apart, in a list or a flag string:
  # the directory they add, or the file -include forces on every source.
  function flags(   i, j, n, k, w, part, s, f, d) {
    for (i = 5; i <= NF; ++i) {
      k = split($i, part, /[ \t;]+/)
      for (j = 1; j <= k; ++j)
        if (part[j] != "") w[++n] = part[j]
    }
    for (i = 1; i <= n; ++i)
      for (s = w[i]; match(s, FLAG); ) {
        f = substr(s, RSTART, RLENGTH)
        sub(/^[^-]/, "", f)
        s = substr(s, RSTART + RLENGTH)
        d = s
        sub(/^=/, "", d)
        sub(/[,>].*/, "", d)
        # A flag apart from its directory takes the word after it.
        if (d == "" && i < n) {
          d = w[++i]
          s = ""
        }
        if (f ~ /^--?(include|imacros)$/)
          fail(file ": " cmd "() forces the include " d INCLUDES)
        else
          include_dir(d, 0)
      }
  }
  # The names a word of a link may stand for: itself, the library of a -l
  # or of a lib*.a file, each name inside a generator expression.
  function names(w,   n, p, i, c) {
    nn = 0
    if (sub(/^LINKER:/, "-Wl,", w) == 0) sub(/^SHELL:/, "", w)
    n = split(w, p, w ~ /\$</ ? "[<>:,;]" : w ~ /^-Wl,/ ? "," : ";")
    for (i = 1; i <= n; ++i) {
      c = p[i]
      # A -l apart from its library names the word after it.
      if (pending) {
        pending = 0
      } else if (c == "-l" || c == "--library") {
        pending = 1
        continue
      } else if (!sub(/^(-l|--library=)/, "", c) && c ~ /^-/) {
        continue
      }
      sub(/^:/, "", c)
      if (c ~ /(^|\/)lib[^\/]*\.(a|so)[.0-9]*$/) {
        sub(/.*\//, "", c)
        sub(/^lib/, "", c)
        sub(/\.(a|so)[.0-9]*$/, "", c)
      }
      if (c != "" && c != "$" && c !~ /^\$\{CMAKE_/) name_[++nn] = c
    }
  }
  function in_function() {
    fail(file ": " body "() makes or links targets, which the check reads only at calls of " \
      "lt_library and lt_test")
    stop = 1
  }
  # Word w of a call in the role its place gives it (dir, src, folder, lib,
  # every, "-" none), for each target the call names.
  function use(role, w,   i, s, t) {
    if (role == "dir") {
      include_dir(w, 1)
      return
    }
    if (role == "-" || body == "reads") return
    if (body != "" && role != "every") {
      in_function()
      return
    }
    if (role == "every") {
      names(w)
      for (i = 1; i <= nn; ++i) record("", "links", key(name_[i], file))
      return
    }
    for (s = 1; s <= nsub; ++s) {
      if (role == "lib") {
        names(w)
        for (i = 1; i <= nn; ++i) record(subject[s], "links", key(name_[i], file))
        continue
      }
      t = resolve(w, 1)
      if (role == "folder") {
        record(subject[s], "compiles", t == "?" ? w : t == "" ? "-" : t "/-", t == "?")
        continue
      }
      if (w !~ /\$</) {
        record(subject[s], "compiles", t == "?" ? w : t, t == "?")
        continue
      }
      # A name in a generator expression may be a file or a target: judged as both.
      names(w)
      for (i = 1; i <= nn; ++i) {
        t = resolve(name_[i], 1)
        record(subject[s], "compiles", t == "?" ? name_[i] : t, t == "?")
        if (t != "?") record(subject[s], "links", name_[i])
      }
    }
  }
  # The words of one argument, in turn, a keyword of the command changing
  # the role of those after it.
  function words(arg, role,   n, part, j) {
    n = split(arg, part, /[ \t;]+/)
    for (j = 1; j <= n && !stop; ++j) {
      if (part[j] == "") continue
      if ((cmd, part[j]) in keyword) role = keyword[cmd, part[j]]
      else if (role == "skip") role = "-"
      else use(role, part[j])
    }
    return role
  }
  # A property by its name and the scope it is set in.
  function property(p, scope) {
    if (p ~ /INCLUDE_DIRECTORIES$|^HEADER_DIRS/) return "dir"
    if (scope == "TARGET" && p ~ /SOURCES$|PRECOMPILE_HEADERS$|^HEADER_SET/) return "src"
    if (p ~ LINKING) return scope == "TARGET" ? "lib" : scope == "DIRECTORY" ? "every" : "-"
    return "-"
  }
  # One call: body is "" outside a function, "reads" in lt_library and
  # lt_test, which the check reads at their calls, else the function.
  function cmake(   i, role, scope, folder) {
    file = $2
    cmd = $4
    body = $3 == "-" ? "" : ($3 in reads) ? "reads" : $3
    stop = 0
    pending = 0
    nsub = 0
    flags()
    # The folders the check resolves paths from stay where CMake sets them.
    for (i = 5; i <= NF; ++i)
      if ($i ~ FOLDER) fail(file ": " cmd "() changes " $i MOVED)
    if (cmd == "project" && file != "CMakeLists.txt")
      fail(file ": project() changes PROJECT_SOURCE_DIR" MOVED)
    if (cmd == "find_path") {
      if (!($5 in found)) found[$5] = 1
      if (NF != 6 || $6 ~ /[$]/) found[$5] = 0
    }
    if ((cmd in links_made) && body != "" && body != "reads") {
      in_function()
      return
    }
    if (cmd == "link_libraries") {
      fail(file ": link_libraries() links every target after it" BY_NAME)
      return
    }
    if (cmd == "cmake_language") {
      fail(file ": cmake_language() calls a command the check cannot read")
      return
    }
    if (cmd in first) {
      if (subjects[cmd]) subject[++nsub] = key($5, file)
      if (body == "") {
        if (cmd in reads) {
          folder = $6
          sub(/;.*/, "", folder)
          make(subject[1], norm(dir(file) "/" folder))
        } else if (cmd ~ /^add_/) {
          make(subject[1], dir(file))
        }
      }
      # The first argument after the targets takes the first role (the folders
      # of lt_library), those after it the second, unless a keyword set one.
      role = first[cmd]
      for (i = 5 + nsub; i <= NF && !stop; ++i)
        if ((role = words($i, role)) == first[cmd] && i == 5 + nsub) role = rest[cmd]
    } else if (cmd ~ /^set_(target|directory|source_files)_properties$|^set_property$/) {
      scope = cmd == "set_property" ? $5 : toupper(substr(cmd, 5, index(substr(cmd, 5), "_") - 1))
      for (i = cmd == "set_property" ? 6 : 5; i <= NF && $i !~ /^PROPERT(Y|IES)$/; ++i)
        if (scope == "TARGET" && $i !~ /^APPEND/) subject[++nsub] = key($i, file)
      # set_property sets one property to every value after it; the others
      # pair each property with one value.
      if (cmd == "set_property") {
        for (role = property($(i + 1), scope); i + 2 <= NF; ++i) words($(i + 2), role)
      } else {
        for (++i; i < NF; i += 2) words($(i + 1), property($i, scope))
      }
    } else if (cmd ~ /^(set|string|list|option)$/) {
      for (i = 5; i <= NF && $i !~ /^CMAKE_/; ++i) ;
      if (i > NF) return
      if ($i ~ /^CMAKE_INCLUDE_CURRENT_DIR/) {
        include_dir($i, 0)
      } else {
        role = $i ~ /INCLUDE_DIRECTORIES$/ ? "dir" : $i ~ /FLAGS|LIBRARIES|LIBS/ ? "every" : "-"
        while (++i <= NF) words($i, role)
      }
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
        for (j = 1; j <= depth; ++j)
          if (path != "" || stack[j] == next_[i]) path = path shown(stack[j]) " -> "
        fail(g " circle: " path shown(next_[i]) why[g, node, next_[i]])
      } else if (!state[g, next_[i]]) walk(g, next_[i])
    }
    state[g, node] = 2; --depth
  }
  function edge(g, a, b, reason) {
    if ((g, a, b) in why) return
    why[g, a, b] = reason
    adj[g, a] = adj[g, a] " " b
    if (!((g, a) in listed)) {
      listed[g, a] = 1
      nodes[g, ++count[g]] = a
    }
  }

  BEGIN {
    ordered[""] = 1
    DIRECTIVE = "[ \t]*(#|%:)[ \t]*(include_next|include|import)"
    PATH = "[ \t]*(\"[^\"]*\"|<[^>]*>)"
    Q = "\047"
    SPECIAL = "/[*/]|[\"" Q "]"
    LITERAL["\""] = "^\"([^\"\\\\]|\\\\.)*\""
    LITERAL[Q] = "^" Q "([^" Q "\\\\]|\\\\.)*" Q
    INCLUDES = "; the check reads includes only as a file names them, beside it or from the root"
    FLAG = "(^|[:>,=\"])-(I|iquote|isystem|idirafter|iwithprefix|iwithprefixbefore|" \
      "include|imacros|-include[-a-z]*|-imacros)"
    LINKING = "LINK_LIBRARIES|LINK_INTERFACE_LIBRARIES|LINK_DEPENDENT_LIBRARIES|" \
      "LINK_OPTIONS|LINK_FLAGS|LIBRARY_OPTIONS|LIBRARY_FLAGS|^IMPORTED_(LOCATION|IMPLIB|OBJECTS)"
    FOLDER = "^(PROJECT_SOURCE_DIR|CMAKE_SOURCE_DIR|CMAKE_CURRENT_SOURCE_DIR|" \
      "CMAKE_CURRENT_LIST_DIR)$"
    BY_NAME = "; link each by name with target_link_libraries"
    MOVED = ", which the check reads as CMake sets it"
    SOURCE = "\\.(c|cc|cp|cpp|cxx|c\\+\\+|h|hh|hp|hpp|hxx|h\\+\\+|tcc|inc|inl|ipp|tpp|ixx|cppm)$"
    split("lt_library lt_test add_library add_executable target_link_libraries link_libraries " \
      "cmake_language target_link_options add_link_options target_sources " \
      "target_precompile_headers", m, " ")
    for (i in m) links_made[m[i]] = 1
    reads["lt_library"] = 1; reads["lt_test"] = 1
    # The commands the check reads: how many targets they name first, the
    # role of their first argument and of those after it, and the keywords
    # that change the role (to the second role, or to the one named).
    n = split("include_directories 0 dir dir AFTER BEFORE SYSTEM\n" \
      "target_include_directories 1 dir dir SYSTEM AFTER BEFORE INTERFACE PUBLIC PRIVATE\n" \
      "target_sources 1 src src INTERFACE PUBLIC PRIVATE FILES FILE_SET=skip TYPE=skip " \
        "BASE_DIRS=dir\n" \
      "target_precompile_headers 1 src src INTERFACE PUBLIC PRIVATE REUSE_FROM=lib\n" \
      "add_library 1 src src STATIC SHARED MODULE OBJECT INTERFACE UNKNOWN IMPORTED GLOBAL " \
        "EXCLUDE_FROM_ALL ALIAS=lib\n" \
      "add_executable 1 src src WIN32 MACOSX_BUNDLE EXCLUDE_FROM_ALL IMPORTED GLOBAL ALIAS=lib\n" \
      "lt_library 1 folder lib\n" \
      "lt_test 1 - lib\n" \
      "target_link_libraries 1 lib lib PUBLIC PRIVATE INTERFACE LINK_PUBLIC LINK_PRIVATE " \
        "LINK_INTERFACE_LIBRARIES debug optimized general\n" \
      "target_link_options 1 lib lib BEFORE PUBLIC PRIVATE INTERFACE\n" \
      "add_link_options 0 every every", m, "\n")
    for (i = 1; i <= n; ++i) {
      k = split(m[i], w, " ")
      c = w[1]
      subjects[c] = w[2]
      first[c] = w[3]
      rest[c] = w[4]
      for (j = 5; j <= k; ++j) {
        if (!index(w[j], "=")) w[j] = w[j] "=" rest[c]
        keyword[c, substr(w[j], 1, index(w[j], "=") - 1)] = substr(w[j], index(w[j], "=") + 1)
      }
    }
  }
  $1 == "ROW" { row($2); next }
  $1 == "FILE" {
    tree[$2] = 1
    if (tolower($2) ~ SOURCE) enqueue($2)
    next
  }
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
      if (upward(from[i], to[i])) {
        fail(from[i] " includes " to[i] ", " how)
        continue
      }
      # The two folders below the deepest one holding both files; none when
      # one file lies in the folder of the other or above it.
      na = split(dir(from[i]), a, "/")
      nb = split(dir(to[i]), b, "/")
      for (k = 0; k < na && k < nb && a[k + 1] == b[k + 1]; ++k) ;
      if (k >= na || k >= nb) continue
      ca = a[1]; cb = b[1]
      for (j = 2; j <= k + 1; ++j) {
        ca = ca "/" a[j]
        cb = cb "/" b[j]
      }
      edge("folder", ca, cb, " (" from[i] " includes " to[i] ")")
    }
    for (i = 1; i <= count["folder"]; ++i)
      if (!state["folder", nodes["folder", i]]) walk("folder", nodes["folder", i])
    for (i = 1; i <= nd; ++i) {
      file = dfile[i]
      v = dname[i]
      if (resolve(v, drel[i]) == "" ||
          v ~ /^\$\{[A-Za-z0-9_]+\}$/ && found[substr(v, 3, length(v) - 3)] == 1)
        continue
      fail(file ": " dcmd[i] "() adds the include directory " v INCLUDES)
    }
    for (i = 1; i <= nk; ++i) {
      f = lfrom[i]
      t = lto[i]
      links = lkind[i] == "links"
      if (f != "" && !(f in home)) {
        fail(lfile[i] ": the check cannot read the target " shown(f))
        continue
      }
      at = f == "" ? dir(lfile[i]) "/-" : inside(f)
      who = f == "" ? lcmd[i] "()" : shown(f)
      # A word the check cannot read is harmless only where nothing lies above.
      if (links ? !(t in home) && t ~ /[$]/ : lunread[i]) {
        if (floor_of("", at) != top[""])
          fail(lfile[i] ": the check cannot read the " (links ? "library " : "source ") \
            shown(t) " that " who " " lkind[i])
        continue
      }
      # A library the tree does not make is none of its layers.
      if (links && !(t in home)) continue
      if (f == "") {
        fail(lfile[i] ": " who " links " shown(t) " to every target after it" BY_NAME)
      } else if (upward(at, links ? inside(t) : t)) {
        sub(/\/-$/, "/", t)
        fail(who " " lkind[i] " " shown(t) ", " how)
      } else if (links) {
        edge("library link", f, t, "")
      }
    }
    for (i = 1; i <= nl; ++i)
      if (!state["library link", libs[i]]) walk("library link", libs[i])
    if (bad) exit 1
    print "layers: every source file in a layer, every include and library link downward, no circle"
  }' | sort -u
