# Shared helpers: every folder under src/ is one static library whose sources
# are picked up by glob, so adding a file needs no edit here.

set(LUMORA_WARNINGS -Wall -Wextra)
if(LUMORA_WERROR)
  list(APPEND LUMORA_WARNINGS -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12's optimiser reports overlaps and overflows inside libstdc++'s own
  # string and vector code that cannot happen (operator+ on a literal and a
  # temporary string, insert into a vector): with -O2 and above they stop a
  # -Werror build. They are off in optimised GCC 12 builds only; other
  # compilers and unoptimised builds keep them.
  list(APPEND LUMORA_WARNINGS
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Wno-restrict>
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Wno-array-bounds>
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Wno-stringop-overflow>
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Wno-stringop-overread>)
endif()

# Unity builds: each target's sources are compiled in batches of
# LUMORA_UNITY_BATCH files, so the headers they share (and the template
# instances those headers make) are compiled once per batch instead of once
# per file. Names of one file's anonymous namespace must therefore not clash
# with another file's of the same target. LUMORA_UNITY=OFF compiles file by
# file.
option(LUMORA_UNITY "Compile each target's sources in batches (unity build)" ON)
set(LUMORA_UNITY_BATCH 16 CACHE STRING "Source files per unity batch")
set(CMAKE_UNITY_BUILD ${LUMORA_UNITY})
set(CMAKE_UNITY_BUILD_BATCH_SIZE ${LUMORA_UNITY_BATCH})
# The test binaries may be batched in a tree that compiles the rest file by
# file: CI's clang tree checks the program's own files one by one, and a test
# file that only builds beside the others of its batch still fails in the
# file-by-file sanitizer trees.
option(LUMORA_UNITY_TESTS "Compile the test binaries' sources in unity batches" ${LUMORA_UNITY})
if((LUMORA_UNITY OR LUMORA_UNITY_TESTS) AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC takes a source included into a batch for a header and warns that a
  # test class derived from a fixture of an anonymous namespace "uses" it:
  # the warning is for headers included by several files, and each source
  # is included by exactly one batch.
  list(APPEND LUMORA_WARNINGS -Wno-subobject-linkage)
endif()

# Precompiled headers: nearly every file parses the JSON library (through
# platform/Error.h), fmt and the standard library, every test GoogleTest too;
# file by file, that parsing was most of the compile time. Each target of a
# few files or more gets its own precompiled header (targets differ in their
# -D flags, so they cannot share one). A unity build parses them once per
# batch, and a target's few batches no longer repay making the header: it is
# on by default only without unity builds. LUMORA_UNITY=OFF with
# LUMORA_PCH=OFF shows a file that forgot an include the others of its batch
# or the precompiled header hide.
if(LUMORA_UNITY)
  set(LUMORA_PCH_DEFAULT OFF)
else()
  set(LUMORA_PCH_DEFAULT ON)
endif()
option(LUMORA_PCH "Precompile the common third-party headers" ${LUMORA_PCH_DEFAULT})
set(LUMORA_PCH_MIN_SOURCES 4)
set(LUMORA_PCH_HEADERS
    <algorithm> <chrono> <filesystem> <functional> <map> <memory> <mutex>
    <optional> <string> <string_view> <vector>
    <fmt/format.h> <nlohmann/json.hpp>)

# lumora_precompile(<target> [extra headers...]): precompiles the common
# headers (and the extra ones) for a target with enough sources.
function(lumora_precompile target)
  if(NOT LUMORA_PCH OR NOT TARGET ${target})
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    return()
  endif()
  get_target_property(sources ${target} SOURCES)
  list(LENGTH sources count)
  if(count LESS LUMORA_PCH_MIN_SOURCES)
    return()
  endif()
  target_precompile_headers(${target} PRIVATE ${LUMORA_PCH_HEADERS} ${ARGN})
endfunction()

# lumora_library(<target> <folder> [DEPS targets...] [EXCLUDE regex]): EXCLUDE
# drops the sources of a sub-folder that is a library of its own.
function(lumora_library target folder)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${target} PRIVATE ${LUMORA_WARNINGS})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
    lumora_precompile(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# Test files are compiled without optimisation: optimising (and describing
# for the debugger) the many template instances of a test file took half of
# its compile time, while the code under test keeps the build's optimisation.
set(LUMORA_TEST_OPTIMIZATION -O0)

# How long CTest lets one test run before it ends it, five minutes, and how
# long listing a test binary's cases may take, five seconds: stretched under
# the sanitizers by the factor that stretches the tests' own real-time bounds
# (kSlowdown in tests/support/Sanitizers.h), as their runtimes slow real
# work, and a loaded machine more so.
if(LUMORA_SANITIZE MATCHES "thread")
  set(LUMORA_TEST_SLOWDOWN 10)
elseif(LUMORA_SANITIZE MATCHES "address" OR LUMORA_FUZZ)
  set(LUMORA_TEST_SLOWDOWN 3)
else()
  set(LUMORA_TEST_SLOWDOWN 1)
endif()
math(EXPR LUMORA_TEST_TIMEOUT "300 * ${LUMORA_TEST_SLOWDOWN}")
math(EXPR LUMORA_TEST_DISCOVERY_TIMEOUT "5 * ${LUMORA_TEST_SLOWDOWN}")

# lumora_test(<name> <folder> [DEPS targets...] [PCH headers...]): one
# GoogleTest binary per folder under tests/, each case registered with CTest.
# EXCLUDE drops sources matching a regex (a sub-folder that has a binary of
# its own); PCH adds headers to the target's precompiled header. The cases
# run in the environment of tests/environment/TestEnvironment.h, whatever
# the caller's.
function(lumora_test name folder)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DEPS;PCH" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  set_target_properties(${name} PROPERTIES UNITY_BUILD ${LUMORA_UNITY_TESTS})
  target_compile_options(${name} PRIVATE ${LUMORA_WARNINGS} ${LUMORA_TEST_OPTIMIZATION})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE lumora_testenvironment lumora_testsupport ${ARG_DEPS}
                        GTest::gmock GTest::gtest_main)
  lumora_precompile(${name} <gtest/gtest.h> ${ARG_PCH})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT ${LUMORA_TEST_DISCOVERY_TIMEOUT}
                       PROPERTIES TIMEOUT ${LUMORA_TEST_TIMEOUT}
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
