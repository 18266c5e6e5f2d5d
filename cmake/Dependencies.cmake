# LMDB, xxHash and abseil come from Debian. By default they are the system's shared libraries.
# A wheel must run on machines without them, so VESKER_STATIC_DEPENDENCIES links them into the
# core library instead. Debian builds its static archives of LMDB and abseil as position-
# dependent code (PIE objects that reach libc's data directly), which no shared object can hold;
# those two are therefore compiled here, as position-independent code, from Debian's source
# packages of the very versions whose headers are installed (scripts/fetch-dependency-sources.sh
# unpacks them). Debian's xxHash archive has no such references and links as it is.
#
# Either way the targets vesker::lmdb, vesker::xxhash, absl::flat_hash_map and
# absl::flat_hash_set exist afterwards.

option(VESKER_STATIC_DEPENDENCIES "Link LMDB, xxHash and abseil statically (for wheels)" OFF)
set(VESKER_DEPENDENCY_SOURCES "" CACHE PATH
  "With VESKER_STATIC_DEPENDENCIES: the folder holding the unpacked Debian sources lmdb/ and abseil/")

find_package(PkgConfig REQUIRED)

if(NOT VESKER_STATIC_DEPENDENCIES)
  pkg_check_modules(LMDB REQUIRED IMPORTED_TARGET lmdb)
  pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
  find_package(absl REQUIRED)
  add_library(vesker::lmdb ALIAS PkgConfig::LMDB)
  add_library(vesker::xxhash ALIAS PkgConfig::XXHASH)
  return()
endif()

if(CMAKE_VERSION VERSION_LESS 3.25)
  message(FATAL_ERROR "VESKER_STATIC_DEPENDENCIES needs CMake 3.25 or newer")
endif()
set(lmdb_source ${VESKER_DEPENDENCY_SOURCES}/lmdb/libraries/liblmdb)
set(abseil_source ${VESKER_DEPENDENCY_SOURCES}/abseil)
if(NOT EXISTS ${lmdb_source}/mdb.c OR NOT EXISTS ${abseil_source}/CMakeLists.txt)
  message(FATAL_ERROR "VESKER_DEPENDENCY_SOURCES='${VESKER_DEPENDENCY_SOURCES}' holds no lmdb/ and abseil/ "
    "sources; scripts/fetch-dependency-sources.sh unpacks them")
endif()

# Linked into the core library only, whose exported symbols the modules then bind to, so that a
# process holds one copy of each library, as it would of the shared ones.
find_package(Threads REQUIRED)
add_library(vesker_lmdb STATIC ${lmdb_source}/mdb.c ${lmdb_source}/midl.c)
target_include_directories(vesker_lmdb SYSTEM PUBLIC ${lmdb_source})
target_link_libraries(vesker_lmdb PUBLIC Threads::Threads)
add_library(vesker::lmdb ALIAS vesker_lmdb)

pkg_check_modules(XXHASH REQUIRED libxxhash)
find_library(XXHASH_ARCHIVE NAMES libxxhash.a HINTS ${XXHASH_LIBRARY_DIRS} REQUIRED)
add_library(vesker_xxhash INTERFACE)
target_include_directories(vesker_xxhash SYSTEM INTERFACE ${XXHASH_INCLUDE_DIRS})
target_link_libraries(vesker_xxhash INTERFACE ${XXHASH_ARCHIVE})
add_library(vesker::xxhash ALIAS vesker_xxhash)

# A function, so that these settings stay within abseil's folder.
function(vesker_add_abseil source)
  set(ABSL_PROPAGATE_CXX_STD ON)
  set(ABSL_ENABLE_INSTALL OFF)
  add_subdirectory(${source} ${CMAKE_BINARY_DIR}/abseil EXCLUDE_FROM_ALL SYSTEM)
endfunction()
vesker_add_abseil(${abseil_source})
