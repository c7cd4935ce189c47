// Stand-in for the final assembly until it is built: the work file stays where
// the processing left it, and an observer installed by a test is told of the call.
#include <atomic>

#include "fiscalfile/final_assembly.h"

namespace moldrin::fiscalfile {

namespace {
std::atomic<AssemblyObserver> g_observer{nullptr};
}

void AssembleFinalFile(int merge) {
    if (AssemblyObserver observer = g_observer.load()) observer(merge);
}

void SetAssemblyObserver(AssemblyObserver observer) { g_observer = observer; }

}  // namespace moldrin::fiscalfile
