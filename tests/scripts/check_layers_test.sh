#!/usr/bin/env bash
# The layer check's own cases: each adds files to a small scratch tree that
# passes, runs the check there under a table of its own and expects every
# line it prints and its verdict. Each way around the check it once had is a
# line one case expects, so that it cannot come back.
set -euo pipefail
export LC_ALL=C # the order the check sorts its lines in, as the cases list them
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check_layers.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
pass='layers: every source file in a layer, every include and library link downward, no circle'

# The scratch tree's table: layers, usbaudio's floors and a folder ordered
# inside one of them.
table="
platform
framework
usbaudio
driver
tests bench

usbaudio: table < device < uac1 < uac2 timed < root
usbaudio/uac2: root < walks
"

# Files on stdin into tree $1: a line "=== path" starts a file, "+++ path"
# adds to one; "|text" after the path is a line of it.
write() {
  local out= line
  while IFS= read -r line; do
    case $line in
      '=== '*) out=$1/${line#=== }; out=${out%%|*}; mkdir -p "$(dirname "$out")"; : >"$out" ;;
      '+++ '*) out=$1/${line#+++ }; out=${out%%|*} ;;
      *) printf '%s\n' "$line" >>"$out"; continue ;;
    esac
    [[ $line != *'|'* ]] || printf '%s\n' "${line#*|}" >>"$out"
  done
}

# The tree every case starts from: every include and link downward, a
# folder's own files and a folder inside it including each other (framework/
# and its lists/), names the check reads at their calls or in their own file,
# the project's own link options, libraries and include directories (the
# root, a header folder of the system), tests compiling a rig of another test
# folder and a lower source.
mkdir -p "$scratch/base/scripts"
TABLE=$table awk -v q="'" '
  $0 == "table=" q { print "table=" q ENVIRON["TABLE"] q; skip = 1; next }
  skip && $0 == q { skip = 0; next }
  !skip' "$check" >"$scratch/base/scripts/check_layers.sh"
write "$scratch/base" <<'EOF'
=== CMakeLists.txt
add_link_options(-fsanitize=address,undefined)
function(lt_library name dirs)
  add_library(${name} STATIC ${srcs})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()
foreach(area platform framework usbaudio driver tests bench)
  add_subdirectory(${area})
endforeach()
=== platform/CMakeLists.txt
add_library(platform_kernel STATIC kernel/kernel.cpp)
target_include_directories(platform_kernel PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(platform_kernel PUBLIC Threads::Threads)
=== platform/kernel/kernel.h|#pragma once
=== platform/kernel/kernel.cpp
#include <cstdint>
#include "platform/kernel/kernel.h"
=== framework/CMakeLists.txt|lt_library(framework . platform_kernel -lm)
=== framework/interfaces.h
#include "platform/kernel/kernel.h"
#include "framework/lists/list.h"
=== framework/lists/list.h|#include "framework/interfaces.h"
=== usbaudio/CMakeLists.txt|lt_library(usbaudio . framework)
=== usbaudio/table/table.h|#include "framework/interfaces.h"
=== usbaudio/device/device.h|#include "usbaudio/table/table.h"
=== usbaudio/uac1/device.h|#include "../device/device.h"
=== usbaudio/uac2/device.h|#include "usbaudio/uac1/device.h"
=== usbaudio/uac2/walks/walk.cpp|#include "usbaudio/uac2/device.h"
=== usbaudio/timed/device.h|#include "usbaudio/uac1/device.h"
=== usbaudio/factories.h
#include "usbaudio/uac2/device.h"
#include "usbaudio/timed/device.h"
=== driver/CMakeLists.txt|lt_library(driver . usbaudio framework)
=== driver/adapter_common.h
#include "framework/interfaces.h"
#include "usbaudio/factories.h"
=== tests/CMakeLists.txt
function(lt_test name dir)
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN})
endfunction()
lt_test(test_driver driver driver)
target_sources(test_driver PRIVATE ${PROJECT_SOURCE_DIR}/tests/framework/rig.cpp)
add_executable(test_lists ${PROJECT_SOURCE_DIR}/framework/lists/list.cpp)
foreach(name a b)
  add_executable(fuzz_${name} fuzz.cpp)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_${name} PRIVATE driver)
endforeach()
=== tests/driver/adapter_test.cpp|#include "driver/adapter_common.h"
=== bench/CMakeLists.txt
find_library(FFTW_LIB fftw3f)
find_path(FFTW_INCLUDE fftw3.h)
add_executable(lt_bench main.cpp)
target_include_directories(lt_bench PRIVATE ${FFTW_INCLUDE})
target_link_libraries(lt_bench PRIVATE framework ${FFTW_LIB})
=== bench/main.cpp|#include "framework/interfaces.h"
EOF

failures=0
# case_ <what it shows> <every line the check prints, in any order>, the
# case's files on stdin.
case_() {
  local tree=$scratch/tree got want status=0 want_status=1
  rm -rf "$tree"
  cp -r "$scratch/base" "$tree"
  write "$tree"
  got=$(bash "$tree/scripts/check_layers.sh" 2>&1) || status=$?
  want=$(printf '%s\n' "$2" | sort)
  [ "$2" = "$pass" ] && want_status=0
  if [ "$got" != "$want" ] || [ "$status" != "$want_status" ]; then
    printf 'FAIL %s: status %s, want %s; lines wanted (<) and got (>):\n' "$1" "$status" "$want_status"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") || true
    failures=$((failures + 1))
  fi
}

case_ 'the base tree passes' "$pass" </dev/null

# Includes, however spelled and in whatever file the compiler can include,
# judged by the file they name; the directives read as the compiler reads
# them (comments that span lines, literals that hold comment marks, raw
# strings); a folder's inner order, as the layers'.
up() { printf 'framework/%s includes driver/adapter_common.h, a higher layer (framework < driver)\n' "$@"; }
case_ 'includes' "$(up plain.h root.inc beside.inl angle.ipp comment.hh digraph.hxx next.tcc rows policy.h)
framework/policy.h includes usbaudio/factories.h, a higher layer (framework < usbaudio)
framework/policy.h includes usbaudio/uac1/device.h, a higher layer (framework < usbaudio)
framework/policy.h: an include the check cannot read: #include LT_ADAPTER
driver/adapter_common.h includes framework/moved.h, a file the tree does not hold
tools/gen.cpp lies under no folder of the layer table
usbaudio/device/device.h includes usbaudio/uac1/device.h, a higher layer of usbaudio (device < uac1)
usbaudio/uac1/device.h includes usbaudio/factories.h, a higher layer of usbaudio (uac1 < root)
usbaudio/uac2/device.h includes usbaudio/uac2/walks/walk.h, a higher layer of usbaudio/uac2 (root < walks)
folder circle: usbaudio/timed -> usbaudio/uac2 -> usbaudio/timed (usbaudio/uac2/device.h includes usbaudio/timed/device.h)
usbaudio/extra/extra.h lies under no floor of usbaudio
folder circle: driver/a -> driver/b -> driver/a (driver/b/b.h includes driver/a/a.h)" <<'EOF'
=== framework/plain.h|#include "driver/adapter_common.h"
=== framework/root.inc|#include "framework/../driver/adapter_common.h"
=== framework/beside.inl|#include "./../driver/adapter_common.h"
=== framework/angle.ipp|#include <framework/../driver/adapter_common.h>
=== framework/comment.hh|#/* the adapter */include /* its common object */ "driver/adapter_common.h"
=== framework/digraph.hxx|%:include "driver/adapter_common.h"
=== framework/next.tcc|#include_next <driver/adapter_common.h>
=== framework/any.h|#include "rows"
=== framework/rows|#include "driver/adapter_common.h"
=== framework/policy.h
#/* a comment
*/include "driver/adapter_common.h"
/* #include "driver/a.h"
#include "driver/b.h" */
char const c = '"', *raw = R"x(
#include "driver/c.h" )x";
int n = 1'0; /* '
#include "driver/d.h" */
char const* s = "/*"; // a /* comment \
#include "driver/e.h"
#include "usbaudio/factories.h"
#include \
  "usbaudio/uac1/device.h"
#include LT_ADAPTER
+++ driver/adapter_common.h|#include "framework/moved.h"
=== tools/gen.cpp|int main() {}
+++ usbaudio/device/device.h|#include "../uac1/device.h"
+++ usbaudio/uac1/device.h|#include "usbaudio/factories.h"
=== usbaudio/uac2/walks/walk.h
+++ usbaudio/uac2/device.h|#include "walks/walk.h"
+++ usbaudio/uac2/device.h|#include "usbaudio/timed/device.h"
+++ usbaudio/timed/device.h|#include "usbaudio/uac2/device.h"
=== usbaudio/extra/extra.h
=== driver/a/a.h|#include "driver/b/b.h"
=== driver/b/b.h|#include "driver/a/a.h"
EOF

# Links, in every spelling CMake reads: a row is a target of framework/ of
# its own and the call that links it to driver.
made= linked=
while IFS='|' read -r name call; do
  made+="add_library($name OBJECT)"$'\n'"$call"$'\n'
  linked+="$name links driver, a higher layer (framework < driver)"$'\n'
done <<'EOF'
plain|target_link_libraries(plain PUBLIC driver)
capitals|TARGET_LINK_LIBRARIES(capitals PUBLIC driver)
spaced|target_link_libraries (spaced PUBLIC driver)
option_l|target_link_options(option_l PRIVATE -ldriver)
linker_l|target_link_options(linker_l PRIVATE "LINKER:-l,driver")
library_l|target_link_libraries(library_l PUBLIC -ldriver)
file|target_link_libraries(file PUBLIC $<TARGET_FILE:driver>)
linker_file|target_link_options(linker_file PUBLIC $<$<CONFIG:Debug>:$<TARGET_LINKER_FILE:driver>>)
link_only|target_link_libraries(link_only INTERFACE $<LINK_ONLY:driver>)
libraries|set_target_properties(libraries PROPERTIES LINK_LIBRARIES driver)
interface_libraries|set_property(TARGET interface_libraries APPEND PROPERTY INTERFACE_LINK_LIBRARIES driver)
archive|set_target_properties(archive PROPERTIES LINK_FLAGS "-Wl,--as-needed ${CMAKE_BINARY_DIR}/driver/libdriver.a")
EOF
# The rest of what the CMake files can do to reach up: include directories
# other than the root, in any command, property or flag; the root moved;
# sources of a higher layer compiled into a lower target; links for every
# target; names the check cannot read.
tail='; the check reads includes only as a file names them, beside it or from the root'
adds() { printf "framework/CMakeLists.txt: %s() adds the include directory %s$tail\n" "$@"; }
case_ 'the CMake files' "${linked}commented links driver, a higher layer (framework < driver)
framework links lt::driver, a higher layer (framework < driver)
usbaudio_table links usbaudio, a higher layer of usbaudio (table < root)
library link circle: framework -> framework_lists -> framework
framework/CMakeLists.txt: link_libraries() links every target after it; link each by name with target_link_libraries
framework/CMakeLists.txt: the check cannot read the target \${lib}
framework/CMakeLists.txt: the check cannot read the library \${higher} that framework links
framework/CMakeLists.txt: lt_link() makes or links targets, which the check reads only at calls of lt_library and lt_test
framework/CMakeLists.txt: cmake_language() calls a command the check cannot read
$(adds add_compile_options '${PROJECT_SOURCE_DIR}/driver' include_directories ../driver set CMAKE_INCLUDE_CURRENT_DIR \
  set_property '${CMAKE_SOURCE_DIR}/driver' set_target_properties /opt/driver target_compile_options ../driver \
  target_include_directories '${found}' target_sources ../driver)
framework/CMakeLists.txt: add_compile_options() forces the include driver/adapter_common.h$tail
framework/CMakeLists.txt: project() changes PROJECT_SOURCE_DIR, which the check reads as CMake sets it
framework/CMakeLists.txt: set() changes CMAKE_SOURCE_DIR, which the check reads as CMake sets it
framework compiles driver/, a higher layer (framework < driver)
framework compiles driver/adapter_common.h, a higher layer (framework < driver)
framework compiles driver/x.cpp, a higher layer (framework < driver)
framework compiles usbaudio/y.cpp, a higher layer (framework < usbaudio)
framework/CMakeLists.txt: the check cannot read the source \${more} that framework_objects compiles
framework_objects compiles driver/w.cpp, a higher layer (framework < driver)
framework_objects links driver, a higher layer (framework < driver)
usbaudio_table compiles usbaudio/factories.cpp, a higher layer of usbaudio (table < root)
framework/CMakeLists.txt: add_link_options() links driver to every target after it; link each by name with target_link_libraries
framework/CMakeLists.txt: set_property() links driver to every target after it; link each by name with target_link_libraries
framework/CMakeLists.txt: string() links usbaudio to every target after it; link each by name with target_link_libraries
framework/CMakeLists.txt: the check cannot read the library \${more} that framework links" < <(
  printf '+++ framework/CMakeLists.txt\n%s' "$made"
  cat <<'EOF'
add_library(commented OBJECT)
target_link_libraries(commented PUBLIC # the adapter, for its settings (ini files) :)
  ")" #[[ ) ]] driver)
target_link_libraries(framework PUBLIC lt::driver)
link_libraries(driver)
set(lib framework)
target_link_libraries(${lib} PUBLIC driver)
set(higher driver)
target_link_libraries(framework PUBLIC ${higher})
function(lt_link name)
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()
lt_link(framework driver)
cmake_language(CALL target_link_libraries framework PUBLIC driver)
lt_library(framework_lists lists framework)
target_link_libraries(framework PUBLIC framework_lists)
include_directories(../driver)
add_compile_options(-I${PROJECT_SOURCE_DIR}/driver -include driver/adapter_common.h)
target_compile_options(framework PRIVATE -iquote ../driver)
set_property(TARGET framework PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_SOURCE_DIR}/driver)
set_target_properties(framework PROPERTIES COMPILE_FLAGS "-O2 -idirafter /opt/driver")
target_sources(framework PUBLIC FILE_SET HEADERS BASE_DIRS ../driver FILES interfaces.h)
set(CMAKE_INCLUDE_CURRENT_DIR ON)
find_path(found adapter_common.h ../driver)
target_include_directories(framework PRIVATE ${found})
project(framework)
set(CMAKE_SOURCE_DIR ${CMAKE_SOURCE_DIR}/driver)
lt_library(framework ".;../driver")
target_sources(framework PRIVATE ${PROJECT_SOURCE_DIR}/driver/x.cpp ../usbaudio/y.cpp)
target_precompile_headers(framework PRIVATE ../driver/adapter_common.h)
add_library(framework_objects OBJECT $<TARGET_OBJECTS:driver> lists/z.cpp ${more})
set_property(TARGET framework_objects APPEND PROPERTY SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/../driver/w.cpp)
add_link_options(-Wl,-ldriver)
string(APPEND CMAKE_EXE_LINKER_FLAGS " -l:libusbaudio.a")
set_property(DIRECTORY APPEND PROPERTY LINK_OPTIONS $<TARGET_FILE:driver>)
target_link_options(framework PRIVATE ${more})
+++ driver/CMakeLists.txt|add_library(lt::driver ALIAS driver)
=== usbaudio/table/CMakeLists.txt
add_library(usbaudio_table STATIC table.cpp ../factories.cpp)
target_link_libraries(usbaudio_table PUBLIC framework usbaudio)
EOF
)

[ "$failures" -eq 0 ] || { echo "$failures case(s) of the layer check failed"; exit 1; }
echo 'layer check: every case as expected'
