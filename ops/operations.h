// What the typed operations keep between calls, for the tests that start each
// day afresh in one process; applications use moldrin_ops.h alone.
#pragma once

namespace moldrin::ops {

// Forgets a command left undecided, as a freshly loaded library has none.
void ForgetUndecided();

}  // namespace moldrin::ops
