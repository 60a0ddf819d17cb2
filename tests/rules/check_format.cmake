# Every C++ file of the code we write is as clang-format leaves it (.clang-format at the top). Run
# by ctest as format_check; `clang-format -i` on a file mends it.
# Variables: TOP (the source tree), FORMAT (clang-format).
cmake_policy(SET CMP0007 NEW)
set(files "")
foreach(dir src tools tests testkit bench fuzz)
  file(GLOB_RECURSE found ${TOP}/${dir}/*.cpp ${TOP}/${dir}/*.h)
  list(APPEND files ${found})
endforeach()
execute_process(COMMAND ${FORMAT} --dry-run -Werror --style=file ${files}
  WORKING_DIRECTORY ${TOP} RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  string(REGEX MATCHALL "[^\n]*error:[^\n]*" where "${errors}")
  list(LENGTH where count)
  list(SUBLIST where 0 20 first)
  list(JOIN first "\n" text)
  message(FATAL_ERROR "${count} places are not formatted (clang-format -i mends them); the first:\n${text}")
endif()
list(LENGTH files count)
message(STATUS "${count} files formatted")
