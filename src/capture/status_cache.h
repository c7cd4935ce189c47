// Filling the capture's status cache from the printer (the refresh operations),
// answering status queries from it and storing replies that came otherwise.
// The queries are capture_queries'; when to refresh is the interception's.
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

// Copies the cached reply to "\x1B.<family><type>}" into ReplyBuffer when the
// cache may answer it; 1 answered, 0 not.
int CacheAnswer(int family, char type);
// Stores a status reply of the application's own query or of a replayed
// capture line (family 27, 28 or 29).
void CacheStore(int family, char type, const char* reply);

}  // namespace moldrin::capture
