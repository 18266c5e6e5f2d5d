// Turns what a damaged store does to a reading process (a fault on a mapped page, an LMDB
// assertion) into one line of error and exit status 1 instead of a signal.
//
// Why not check every store at open: only a read of every page proves a store sound (that is
// `vesker check`), and on a store of several gigabytes it costs as much as the slowest
// analysis; a query that reads a few pages cannot pay it. What can be checked cheaply is checked
// at open already: the meta pages and the file's length (check_data_file). Damage inside the
// B-trees shows only when a read reaches it, and LMDB then either asserts (abort) or follows a
// bad offset into its map (SIGSEGV, SIGBUS). Neither can be turned back into an error value:
// LMDB's state at that point is not one a read can continue from, and unwinding through its C
// frames would leave its locks held. So the guard ends the process itself, with a line naming
// the store whose map the fault hit, and costs nothing until then.
//
// Only a program may install it (the command line does): a library has no business taking over
// its host's fatal signals. Faults outside every store's map go on to the handler that was there
// before, unchanged.
#pragma once

#include <lmdb.h>

#include <string>
#include <string_view>

namespace vesker {

// Installs the guard for the rest of the process; `prefix` starts the line it writes (for
// example "vesker diff: error: "). Idempotent; a later call replaces the prefix.
void install_store_damage_guard(std::string_view prefix);

// Called by the environment registry for every environment it opens, before any read: finds
// where `env` (of the store in `directory`) maps its data file and hooks its assertions. Best
// effort: a map it cannot find is not guarded against faults.
void remember_store_map(MDB_env* env, const std::string& directory);
// Before the environment closes and its map goes.
void forget_store_map(MDB_env* env) noexcept;

}  // namespace vesker
