// icon-theme ICNS OUTDIR CONTEXT/NAME...: writes the PNG images of an .icns file into an icon
// theme folder, each image as OUTDIR/<N>x<N>/<CONTEXT>/<NAME>.png for every name given (run at
// build time: the badge is both the stub emblem and the application's icon).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

uint32_t get32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: icon-theme ICNS OUTDIR CONTEXT/NAME...\n");
    return 64;
  }
  const std::vector<std::filesystem::path> names(argv + 3, argv + argc);
  for (const auto& name : names) {
    if (name.is_absolute() || !name.has_parent_path() || name.parent_path().has_parent_path()) {
      std::fprintf(stderr, "icon-theme: %s is not CONTEXT/NAME\n", name.c_str());
      return 64;
    }
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string icns((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (icns.size() < 8 || icns.compare(0, 4, "icns") != 0 || get32(icns, 4) != icns.size()) {
    std::fprintf(stderr, "icon-theme: %s is not an icns file\n", argv[1]);
    return 1;
  }
  // The PNG entries by their type code.
  const std::map<std::string, int> sizes = {{"icp4", 16}, {"icp5", 32}, {"icp6", 64},
                                            {"ic07", 128}, {"ic08", 256}, {"ic09", 512}};
  int written = 0;
  for (size_t at = 8; at + 8 <= icns.size();) {
    const std::string type = icns.substr(at, 4);
    const uint32_t len = get32(icns, at + 4);
    if (len < 8 || at + len > icns.size()) break;
    const auto size = sizes.find(type);
    if (size != sizes.end() && icns.compare(at + 8, 4, "\x89PNG") == 0) {
      const std::string n = std::to_string(size->second);
      for (const auto& name : names) {
        const std::filesystem::path dir = std::filesystem::path(argv[2]) / (n + "x" + n) / name.parent_path();
        std::filesystem::create_directories(dir);
        std::ofstream out(dir / (name.filename().string() + ".png"), std::ios::binary | std::ios::trunc);
        out.write(icns.data() + at + 8, static_cast<std::streamsize>(len - 8));
        if (!out) {
          std::fprintf(stderr, "icon-theme: cannot write into %s\n", dir.c_str());
          return 1;
        }
      }
      ++written;
    }
    at += len;
  }
  if (written == 0) {
    std::fprintf(stderr, "icon-theme: %s holds no PNG image\n", argv[1]);
    return 1;
  }
  return 0;
}
