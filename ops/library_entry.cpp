// The shared typed-operations library: its code is all in the archive it wraps
// (operations.cpp); this file only gives the library a source of its own.
#include "moldrin_ops.h"
