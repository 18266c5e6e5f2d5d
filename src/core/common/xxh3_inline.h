// XXH3 compiled into its callers. Hashing an 8-byte integer key takes a handful of
// instructions, fewer than the call into the shared library would.
#pragma once

#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>
