# The rules of src/ that the compiler alone does not hold (cmake -P; ctest runs it as source_rules):
# - no #include with ".." in it: a directory reaches another only through its include root;
# - the include roots keep a directory from reaching one above it: a file of common/ that includes
#   instance/ does not compile, while one that includes platform/ does;
# - every engine thread starts through StartEngineThread (common/engine_thread.cpp); the usbmux
#   client library's event thread is that library's own;
# - nothing outside platform/ uses the toolchain's threads, thread-locals, one-time calls or sleeps
#   (std::thread, thread_local, std::call_once, std::this_thread): under Windows each host thread
#   that reaches one keeps a handle and an event of every load of the engine (platform/system_thread.h).
# Variables: SRC (the src/ folder), ROOTS (the build's include-roots folder), CXX (the compiler),
# WORK (a scratch folder).
cmake_policy(SET CMP0007 NEW)
set(failures "")

# Adds a failure for each line of `source` that matches `regex`, unless `source` matches `except`.
function(forbid source except regex what)
  if(except AND source MATCHES "${except}")
    return()
  endif()
  file(STRINGS ${SRC}/${source} lines REGEX "${regex}")
  foreach(line ${lines})
    list(APPEND failures "${source}: ${what}: ${line}")
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp)
foreach(source ${sources})
  forbid(${source} "" "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\." "an include that climbs out of its directory")
  forbid(${source} "^(common/engine_thread|usbmux/usbmux_client_events|platform/((posix|win32)/)?system_thread)"
    "SystemThread::Start|CreateThread|_beginthread" "a thread started past StartEngineThread")
  # Comments are skipped: a line whose code part names one of them.
  forbid(${source} "^platform/(posix/|system_thread.h)"
    "^[^/]*(std::thread|std::this_thread|thread_local|std::call_once)" "the toolchain's threads outside platform/")
endforeach()

file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/down.cpp "#include \"platform/sync.h\"\n")
file(WRITE ${WORK}/up.cpp "#include \"instance/engine_instance.h\"\n")
execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only -I${ROOTS}/common ${WORK}/down.cpp
  RESULT_VARIABLE down ERROR_VARIABLE down_errors)
execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only -I${ROOTS}/common ${WORK}/up.cpp
  RESULT_VARIABLE up ERROR_VARIABLE up_errors)
if(NOT down EQUAL 0)
  list(APPEND failures "common/ cannot include platform/ through its root: ${down_errors}")
endif()
if(up EQUAL 0 OR NOT up_errors MATCHES "instance/engine_instance.h")
  list(APPEND failures "common/ reaches instance/ through its include root (or failed otherwise): ${up_errors}")
endif()

if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
message(STATUS "source rules hold for ${SRC}")
