# Third-party libraries: Debian's -dev packages natively; for Windows the static builds that
# deps/build-all.sh makes, found through their pkg-config files.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(KAVEX_DEP_MODULES libavcodec libavutil libswscale opus libplist-2.0)

if(WIN32)
  # Unless given, the prefixes `make deps` recorded (one per line).
  if(KAVEX_DEPS_PREFIXES STREQUAL "" AND EXISTS ${PROJECT_SOURCE_DIR}/build/deps-prefixes.txt)
    file(STRINGS ${PROJECT_SOURCE_DIR}/build/deps-prefixes.txt KAVEX_DEPS_PREFIXES)
  endif()
  if(KAVEX_DEPS_PREFIXES STREQUAL "")
    message(FATAL_ERROR "KAVEX_DEPS_PREFIXES is empty: run `make deps` (deps/build-all.sh) first")
  endif()
  set(pc_dirs "")
  foreach(prefix IN LISTS KAVEX_DEPS_PREFIXES)
    list(APPEND pc_dirs "${prefix}/lib/pkgconfig")
  endforeach()
  list(JOIN pc_dirs ":" pc_path)
  # Only our prefixes: the host's .pc files describe Linux libraries.
  set(ENV{PKG_CONFIG_LIBDIR} "${pc_path}")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
  pkg_check_modules(KAVEX_DEPS REQUIRED ${KAVEX_DEP_MODULES})
  add_library(kavex_deps INTERFACE)
  target_include_directories(kavex_deps INTERFACE ${KAVEX_DEPS_STATIC_INCLUDE_DIRS})
  target_compile_options(kavex_deps INTERFACE ${KAVEX_DEPS_STATIC_CFLAGS_OTHER})
  target_link_directories(kavex_deps INTERFACE ${KAVEX_DEPS_STATIC_LIBRARY_DIRS})
  target_link_libraries(kavex_deps INTERFACE ${KAVEX_DEPS_STATIC_LIBRARIES})
  # Everything static: the DLL and the test programs import only Windows system DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
else()
  pkg_check_modules(KAVEX_DEPS REQUIRED IMPORTED_TARGET ${KAVEX_DEP_MODULES})
  add_library(kavex_deps INTERFACE)
  target_link_libraries(kavex_deps INTERFACE PkgConfig::KAVEX_DEPS)
endif()
