# The targets format (rewrites the program's own C++ sources in the layout of .clang-format)
# and format-check (lists where they differ from it, changes nothing, fails if they do).
# Without clang-format 14 or later neither target exists; the configure goes on.

find_program(CLANG_FORMAT NAMES clang-format clang-format-19 clang-format-18 clang-format-17
                                clang-format-16 clang-format-15 clang-format-14)
if(NOT CLANG_FORMAT)
  message(STATUS "clang-format not found: no format and format-check targets")
  return()
endif()
# .clang-format uses options that came with clang-format 14.
execute_process(COMMAND ${CLANG_FORMAT} --version OUTPUT_VARIABLE clang_format_version ERROR_QUIET)
if(NOT clang_format_version MATCHES "version ([0-9]+)" OR CMAKE_MATCH_1 LESS 14)
  message(STATUS "${CLANG_FORMAT} is older than clang-format 14: no format and format-check targets")
  return()
endif()

# The sources are looked up when the target runs, so a new file needs no new configure.
set(run_clang_format ${CMAKE_CURRENT_LIST_DIR}/run_clang_format.cmake)
add_custom_target(format
  COMMAND ${CMAKE_COMMAND} -DCLANG_FORMAT=${CLANG_FORMAT} -DCHECK=OFF -P ${run_clang_format}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Formatting the C++ sources with ${CLANG_FORMAT}"
  VERBATIM)
add_custom_target(format-check
  COMMAND ${CMAKE_COMMAND} -DCLANG_FORMAT=${CLANG_FORMAT} -DCHECK=ON -P ${run_clang_format}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Checking the layout of the C++ sources with ${CLANG_FORMAT}"
  VERBATIM)
