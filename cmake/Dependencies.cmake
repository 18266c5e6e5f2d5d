# LMDB, xxHash and abseil come from Debian. By default they are the system's shared libraries.
# A wheel must run on machines without them, so VESKER_STATIC_DEPENDENCIES links them into
# libvesker.so instead, from a prefix where cmake/dependencies installed them as static,
# position-independent libraries built by the same compiler as the wheel (zig's, whose libc++
# cannot link objects compiled against libstdc++, and whose target glibc or musl they must share).
#
# Either way the targets vesker::lmdb, vesker::xxhash, absl::flat_hash_map and
# absl::flat_hash_set exist afterwards.

option(VESKER_STATIC_DEPENDENCIES "Link LMDB, xxHash and abseil statically (for wheels)" OFF)
set(VESKER_DEPENDENCY_PREFIX "" CACHE PATH
  "With VESKER_STATIC_DEPENDENCIES: the prefix where cmake/dependencies installed LMDB, xxHash and abseil")

if(NOT VESKER_STATIC_DEPENDENCIES)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LMDB REQUIRED IMPORTED_TARGET lmdb)
  pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
  find_package(absl REQUIRED)
  add_library(vesker::lmdb ALIAS PkgConfig::LMDB)
  add_library(vesker::xxhash ALIAS PkgConfig::XXHASH)
  return()
endif()

if(NOT EXISTS ${VESKER_DEPENDENCY_PREFIX}/lib/liblmdb.a OR NOT EXISTS ${VESKER_DEPENDENCY_PREFIX}/lib/libxxhash.a)
  message(FATAL_ERROR "VESKER_DEPENDENCY_PREFIX='${VESKER_DEPENDENCY_PREFIX}' holds no libraries built by "
    "cmake/dependencies (scripts/build-wheels.sh builds them)")
endif()
find_package(absl REQUIRED CONFIG PATHS ${VESKER_DEPENDENCY_PREFIX} NO_DEFAULT_PATH)
# Debian's abseil asks every user to link libatomic within --push-state/--pop-state, options zig's
# linker rejects; the compiler runtime that zig links provides those functions anyway.
get_directory_property(imported IMPORTED_TARGETS)
foreach(target IN LISTS imported)
  get_target_property(libraries ${target} INTERFACE_LINK_LIBRARIES)
  if(libraries AND target MATCHES "^absl::")
    list(REMOVE_ITEM libraries -Wl,--push-state,--as-needed -latomic $<LINK_ONLY:-latomic> -Wl,--pop-state)
    set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${libraries}")
  endif()
endforeach()
find_package(Threads REQUIRED)
foreach(library lmdb xxhash)
  add_library(vesker::${library} STATIC IMPORTED)
  set_target_properties(vesker::${library} PROPERTIES IMPORTED_LOCATION ${VESKER_DEPENDENCY_PREFIX}/lib/lib${library}.a)
  target_include_directories(vesker::${library} SYSTEM INTERFACE ${VESKER_DEPENDENCY_PREFIX}/include)
endforeach()
target_link_libraries(vesker::lmdb INTERFACE Threads::Threads)
