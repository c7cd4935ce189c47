// Filling the capture's status cache from the printer (the refresh operations).
// The queries are capture_queries'; the cache itself is the store's; when to
// refresh is the interception's.
#pragma once

namespace moldrin::capture {

// Each returns 1 on success, 0 on failure (the entry stays not current).
int RefreshStatus1();
int RefreshStatus3();
int RefreshStatusF();
int RefreshStatusG();
int RefreshStatus28();
int RefreshGroup();
int ReadTables29();
// Full refresh: empties the capture state and reads everything again; 0 also
// when the printer turns out not to be a dot-matrix model (ModelGate 2).
int RefreshAll();

}  // namespace moldrin::capture
