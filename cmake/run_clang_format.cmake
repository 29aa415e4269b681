# Runs clang-format over the program's own C++ sources:
#   cmake -DCLANG_FORMAT=clang-format -DCHECK=OFF -P cmake/run_clang_format.cmake   rewrites them
#   cmake -DCLANG_FORMAT=clang-format -DCHECK=ON -P cmake/run_clang_format.cmake    fails on any difference
# Only these folders are read: the build folders (build/, build-*/) lie beside them.

cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH top)
set(patterns)
foreach(folder IN ITEMS app bench ctl framework keeper net packaging platform service tests tools)
  list(APPEND patterns ${top}/${folder}/*.h ${top}/${folder}/*.cpp)
endforeach()
file(GLOB_RECURSE sources LIST_DIRECTORIES false RELATIVE ${top} ${patterns})
list(SORT sources)

if(CHECK)
  set(options --dry-run --Werror)
else()
  set(options -i)
endif()
execute_process(COMMAND ${CLANG_FORMAT} --style=file ${options} ${sources}
                WORKING_DIRECTORY ${top}
                RESULT_VARIABLE failed)
if(failed AND CHECK)
  message(FATAL_ERROR "The files above differ from the layout in .clang-format: run the target format")
elseif(failed)
  message(FATAL_ERROR "clang-format failed")
endif()
