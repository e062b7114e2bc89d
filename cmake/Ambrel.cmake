# Compiler settings and the helpers every area uses to declare its targets.

add_compile_options(-Wall -Wextra)

if(AMBREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(AMBREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT AMBREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "AMBREL_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(AMBREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "AMBREL_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # Every library is instrumented for coverage; only fuzz targets link the fuzzer driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# ambrel_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2] [ENV VAR=value ...])
# One GoogleTest program; every TEST becomes its own ctest entry.
function(ambrel_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT AMBREL_BUILD_TESTS OR AMBREL_FUZZ)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    TEST_LIST ${name}_TESTS)
  # Labels and environment are applied by a script that ctest runs after the
  # discovered tests are added: gtest_discover_tests cannot pass list-valued
  # properties (several labels, several variables) through intact.
  set(props "")
  if(T_LABELS)
    string(APPEND props " LABELS [==[${T_LABELS}]==]")
  endif()
  if(T_ENV)
    string(APPEND props " ENVIRONMENT [==[${T_ENV}]==]")
  endif()
  if(props)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${script} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES${props})\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# ambrel_add_fuzzer(NAME SOURCE file.cpp LIBS lib1 [SEEDS dir])
# With AMBREL_FUZZ a libFuzzer binary; otherwise the same entry point linked to a
# small driver that replays the seed files, registered as a test so the target
# always compiles and its seeds always pass.
function(ambrel_add_fuzzer name)
  cmake_parse_arguments(F "" "SOURCE;SEEDS" "LIBS" ${ARGN})
  if(AMBREL_FUZZ)
    add_executable(${name} ${F_SOURCE})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_property(GLOBAL APPEND PROPERTY AMBREL_FUZZERS ${name})
  elseif(AMBREL_BUILD_TESTS)
    add_executable(${name} ${F_SOURCE} ${PROJECT_SOURCE_DIR}/tests/support/FuzzReplayMain.cpp)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    if(F_SEEDS)
      add_test(NAME ${name}_seeds COMMAND ${name} ${F_SEEDS})
    else()
      add_test(NAME ${name}_seeds COMMAND ${name})
    endif()
    set_tests_properties(${name}_seeds PROPERTIES LABELS fuzz)
  endif()
endfunction()

# ambrel_add_bench(NAME SOURCES a.cpp LIBS lib1)
function(ambrel_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main)
endfunction()

# The list of fuzz targets for scripts/run-fuzzers.sh, written at the end of configuration.
function(ambrel_write_fuzzer_list)
  get_property(fuzzers GLOBAL PROPERTY AMBREL_FUZZERS)
  set(lines "")
  foreach(f ${fuzzers})
    string(APPEND lines "$<TARGET_FILE:${f}>\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers.txt CONTENT "${lines}")
endfunction()
