// oom.h - the fatal out-of-memory report of the library code.
#pragma once
#include <cstddef>

// Ends the process (through elog_die) with
// "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for <what>\n".
[[noreturn]] void out_of_memory(int line, const char *file, size_t nbytes, const char *what);
#define OUT_OF_MEMORY(nbytes, what) out_of_memory(__LINE__, __FILE__, (nbytes), (what))
