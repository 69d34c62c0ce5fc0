// Files a test program writes to the temporary directory, removed when the
// program exits normally: test runs leave nothing behind.
#pragma once

#include <cstdio>
#include <mutex>
#include <set>
#include <string>

namespace velmorix::testing {

// Registers `path` for removal at exit and returns it.
inline std::string RemovedAtExit(std::string path) {
  static struct Registry {
    std::mutex mutex;
    std::set<std::string> paths;
    ~Registry() {
      for (const std::string& p : paths) std::remove(p.c_str());
    }
  } registry;
  std::lock_guard lock(registry.mutex);
  registry.paths.insert(path);
  return path;
}

}  // namespace velmorix::testing
