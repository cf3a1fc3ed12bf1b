// A second process for the defaults tests. With XDG_CONFIG_HOME set by the test:
//   defaults-writer SUITE count KEY [N]   sets KEY to 1, 2, ... N (forever without N) and prints
//                                         each number once its write has returned
//   defaults-writer SUITE keys PREFIX N   sets PREFIX0 ... PREFIX<N-1> to their numbers
//   defaults-writer SUITE set KEY TEXT    sets KEY to the text
//   defaults-writer SUITE remove KEY
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "defaults/UserDefaults.h"

int main(int argc, char** argv) {
  if (argc < 4) return 64;
  const auto suite = platform::defaults::UserDefaults::suite(argv[1]);
  if (!suite) return 65;
  const std::string mode = argv[2];
  const std::string key = argv[3];
  if (mode == "count") {
    const long last = argc > 4 ? std::atol(argv[4]) : 0;
    for (long i = 1; last == 0 || i <= last; ++i) {
      if (!suite->set(key, i)) return 1;
      // Unbuffered, so that the test reads exactly the writes that returned.
      const std::string line = std::to_string(i) + "\n";
      if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) return 1;
    }
    return 0;
  }
  if (mode == "keys" && argc > 4) {
    const long count = std::atol(argv[4]);
    for (long i = 0; i < count; ++i) {
      if (!suite->set(key + std::to_string(i), i)) return 1;
    }
    return 0;
  }
  if (mode == "set" && argc > 4) return suite->set(key, std::string(argv[4])) ? 0 : 1;
  if (mode == "remove") return suite->removeObject(key) ? 0 : 1;
  return 64;
}
