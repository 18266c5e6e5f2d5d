/* A native module's file: its code is in libvesker.so, which this object loads (see
 * cmake/NativeModules.cmake). The interpreter needs a file per module; the code is in one. */
typedef int vesker_module_stub; /* ISO C wants a declaration in every file */
