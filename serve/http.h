// The HTTP library as the service uses it (Debian's build of it, linked as a
// shared library), and the number of threads that serve requests.
#pragma once
#include <httplib.h>

namespace moldrin::serve {
// Threads that serve connections; the event streams of the pages take a few of them.
constexpr std::size_t kHttpThreads = 64;
}  // namespace moldrin::serve
