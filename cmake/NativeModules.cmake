# The native modules of the Python distribution: all their C++ code, and the core's, lives in one
# shared object, vesker/libvesker.so, and each module file is a stub that holds no code.
#
# One object because a wheel built with a statically linked C++ runtime (zig's libc++) would
# otherwise carry a copy of that runtime in every module; several copies in one process disagree
# about exception state and error categories and free each other's memory. One object also keeps
# the core's process-wide state single: above all the registry of open LMDB environments, which
# must see every opening of a store, whichever module makes it.
#
# A stub only names the library as its dependency: the interpreter looks its PyInit_<name> up with
# dlsym on the stub, which searches the stub's dependencies too (glibc and musl alike), and finds
# the function in libvesker.so.

file(GLOB_RECURSE VESKER_CORE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/core/*.cpp)
add_library(vesker_native SHARED ${VESKER_CORE_SOURCES})
set_target_properties(vesker_native PROPERTIES OUTPUT_NAME vesker CXX_VISIBILITY_PRESET hidden
                      VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(vesker_native PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vesker_native PRIVATE Python::Module vesker::lmdb vesker::xxhash absl::flat_hash_map
                      absl::flat_hash_set ${CMAKE_DL_LIBS})
target_link_options(vesker_native PRIVATE -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/native_exports.map)
set_target_properties(vesker_native PROPERTIES LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/native_exports.map)
install(TARGETS vesker_native LIBRARY DESTINATION vesker)

set(VESKER_STUB_SOURCE ${CMAKE_CURRENT_LIST_DIR}/module_stub.c)
set(VESKER_PYTHON_SOABI "" CACHE STRING
  "The SOABI of the interpreter the modules are for, when it is not the one found (a musl CPython's)")

# Adds a module's sources (and the libraries they need) to libvesker.so and builds its stub.
# Usage: vesker_add_python_module(TARGET NAME name DESTINATION dir SOURCES ... [LIBRARIES ...])
#   NAME is the file name before the interpreter's suffix; DESTINATION the folder in the wheel.
function(vesker_add_python_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;DESTINATION" "SOURCES;LIBRARIES")
  target_sources(vesker_native PRIVATE ${arg_SOURCES})
  target_link_libraries(vesker_native PRIVATE ${arg_LIBRARIES})
  python_add_library(${target} MODULE WITH_SOABI ${VESKER_STUB_SOURCE})
  # The stub refers to nothing in the library, so an as-needed linker would drop the dependency.
  target_link_options(${target} PRIVATE -Wl,--no-as-needed)
  target_link_libraries(${target} PRIVATE vesker_native)
  file(RELATIVE_PATH to_library ${CMAKE_INSTALL_PREFIX}/${arg_DESTINATION} ${CMAKE_INSTALL_PREFIX}/vesker)
  string(REGEX REPLACE "/$" "" origin "$ORIGIN/${to_library}")
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_NAME} INSTALL_RPATH "${origin}")
  if(VESKER_PYTHON_SOABI)
    set_target_properties(${target} PROPERTIES SUFFIX ".${VESKER_PYTHON_SOABI}.so")
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${arg_DESTINATION})
endfunction()
