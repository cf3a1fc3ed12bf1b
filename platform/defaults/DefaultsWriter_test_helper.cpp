// A second process for the defaults tests. With XDG_CONFIG_HOME set by the test:
//   defaults-writer SUITE keys PREFIX N   sets PREFIX0 ... PREFIX<N-1> to their numbers
//   defaults-writer SUITE set KEY TEXT    sets KEY to the text
//   defaults-writer SUITE remove KEY
#include <cstdlib>
#include <string>

#include "defaults/UserDefaults.h"

int main(int argc, char** argv) {
  if (argc < 4) return 64;
  const auto suite = platform::defaults::UserDefaults::suite(argv[1]);
  if (!suite) return 65;
  const std::string mode = argv[2];
  const std::string key = argv[3];
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
