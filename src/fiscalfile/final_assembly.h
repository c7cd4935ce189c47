// The final assembly of the fiscal file from the work file: header records,
// movement records grouped by type, signature and final name.
#pragma once

namespace moldrin::fiscalfile {

// merge: 1 when this run already produced a final file of the same printer.
void AssembleFinalFile(int merge);

// Until the assembly is built, tests may look at each call (and at the work
// file, which is left in place).
using AssemblyObserver = void (*)(int merge);
void SetAssemblyObserver(AssemblyObserver observer);

}  // namespace moldrin::fiscalfile
