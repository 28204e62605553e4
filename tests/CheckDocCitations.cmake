# Fails when a document cites a test that does not exist, so that a renamed or merged test
# cannot leave a stale row behind. Every `Suite.Case` in the last column of the document's
# tables must be listed by one of the test executables (--gtest_list_tests), or be declared in
# a *_win.cpp test under WINDOWS_SOURCES (the Windows tests, which this build does not make);
# every fuzz_* target it
# names must be declared in FUZZ_LIST.
#   cmake -DDOC=docs/robustness.md "-DEXECUTABLES=a|b" -DWINDOWS_SOURCES=dir
#         -DFUZZ_LIST=fuzz/CMakeLists.txt -P CheckDocCitations.cmake
cmake_minimum_required(VERSION 3.20)

set(known "")
string(REPLACE "|" ";" executables "${EXECUTABLES}")
foreach(executable IN LISTS executables)
  execute_process(COMMAND ${executable} --gtest_list_tests OUTPUT_VARIABLE listing
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${executable} --gtest_list_tests failed (${status})")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(suite "")
  foreach(line IN LISTS lines)
    # "Suite." or "Prefix/Suite/0." opens a suite; "  Case" or "  Case/0  # GetParam() = ..."
    # names one of its cases.
    if(line MATCHES "^([A-Za-z0-9_/]+)\\.")
      string(REGEX REPLACE "/[0-9]+$" "" suite "${CMAKE_MATCH_1}")
      string(REGEX REPLACE "^.*/" "" suite "${suite}")
    elseif(line MATCHES "^  ([A-Za-z0-9_]+)")
      list(APPEND known "${suite}.${CMAKE_MATCH_1}")
    endif()
  endforeach()
endforeach()

file(GLOB_RECURSE windowsSources "${WINDOWS_SOURCES}/*_win.cpp")
foreach(source IN LISTS windowsSources)
  file(READ "${source}" text)
  string(REGEX MATCHALL "TEST(_F|_P)?\\([ \t\r\n]*[A-Za-z0-9_]+,[ \t\r\n]*[A-Za-z0-9_]+\\)"
    declarations "${text}")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE "^TEST[_FP]*\\([ \t\r\n]*([A-Za-z0-9_]+),[ \t\r\n]*([A-Za-z0-9_]+)\\)$"
      "\\1.\\2" name "${declaration}")
    list(APPEND known "${name}")
  endforeach()
endforeach()

file(READ "${FUZZ_LIST}" fuzzList)
string(REGEX MATCHALL "NAME fuzz_[a-z0-9_]+" fuzzTargets "${fuzzList}")
list(TRANSFORM fuzzTargets REPLACE "^NAME " "")

# Read whole and split by hand: a ";" in the text would otherwise split a row into list items.
file(READ "${DOC}" doc)
string(REPLACE ";" "," doc "${doc}")
string(REPLACE "\n" ";" lines "${doc}")
set(rows "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\|")
    list(APPEND rows "${line}")
  endif()
endforeach()
set(missing "")
set(cited 0)
foreach(row IN LISTS rows)
  # The last cell holds the tests; the separator and header rows name none.
  string(REGEX REPLACE "^.*\\|([^|]*)\\|[ \t]*$" "\\1" cell "${row}")
  # Suite.Case names and fuzz targets.
  string(REGEX MATCHALL "[A-Z][A-Za-z0-9_]*\\.[A-Z][A-Za-z0-9_]*|fuzz_[a-z0-9_]+" names "${cell}")
  foreach(name IN LISTS names)
    math(EXPR cited "${cited} + 1")
    if(NOT name IN_LIST known AND NOT name IN_LIST fuzzTargets)
      list(APPEND missing "${name}")
    endif()
  endforeach()
endforeach()

if(cited EQUAL 0)
  message(FATAL_ERROR "${DOC} cites no test: is it the right file?")
endif()
if(missing)
  list(REMOVE_DUPLICATES missing)
  list(JOIN missing "\n  " text)
  message(FATAL_ERROR "${DOC} cites tests that do not exist:\n  ${text}")
endif()
message(STATUS "${cited} citations in ${DOC}, each an existing test")
