// Fills a gateway cache and its cloud with many stubs at once, for tests and benchmarks:
// folders "folder-0000".. each with stubs "stub-00000.dat".. (an empty cache file with the
// stub marker, the content in the cloud) and online files "online-00000.dat".. (the content in
// both places).
#pragma once

#include <cstddef>
#include <string>

namespace pellora::gatewaysim {

struct PopulateOptions {
  std::string backing;
  std::string cloud;
  int folders = 0;
  int stubs = 0;
  size_t size = 4096;
  int online = 0;
};

// The content a populated file gets: its relative path, repeated to size bytes.
std::string populatedContent(const std::string& rel, size_t size);

// Creates the folders and files, replacing files of the same names; 0 or an errno, with what
// failed in error.
int populate(const PopulateOptions& options, std::string& error);

}  // namespace pellora::gatewaysim
