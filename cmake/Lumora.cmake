# Shared helpers: every folder under src/ is one static library whose sources
# are picked up by glob, so adding a file needs no edit here.

set(LUMORA_WARNINGS -Wall -Wextra)
if(LUMORA_WERROR)
  list(APPEND LUMORA_WARNINGS -Werror)
endif()

# lumora_library(<target> <folder> [DEPS targets...])
function(lumora_library target folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${target} PRIVATE ${LUMORA_WARNINGS})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# lumora_test(<name> <folder> [DEPS targets...]): one GoogleTest binary per
# folder under tests/, each case registered with CTest. EXCLUDE drops
# sources matching a regex (a sub-folder that has a binary of its own).
function(lumora_test name folder)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_compile_options(${name} PRIVATE ${LUMORA_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE lumora_testsupport ${ARG_DEPS}
                        GTest::gmock GTest::gtest_main)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES TIMEOUT 300
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
