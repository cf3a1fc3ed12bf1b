// emblem-icons ICNS OUTDIR: writes the PNG images of the badge's .icns file into an icon theme
// folder as the stub emblem, OUTDIR/<N>x<N>/emblems/emblem-pellora-stub.png (run at build time).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace {

uint32_t get32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: emblem-icons ICNS OUTDIR\n");
    return 64;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string icns((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (icns.size() < 8 || icns.compare(0, 4, "icns") != 0 || get32(icns, 4) != icns.size()) {
    std::fprintf(stderr, "emblem-icons: %s is not an icns file\n", argv[1]);
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
      const std::filesystem::path dir = std::filesystem::path(argv[2]) / (n + "x" + n) / "emblems";
      std::filesystem::create_directories(dir);
      std::ofstream(dir / "emblem-pellora-stub.png", std::ios::binary | std::ios::trunc)
          .write(icns.data() + at + 8, static_cast<std::streamsize>(len - 8));
      ++written;
    }
    at += len;
  }
  if (written == 0) {
    std::fprintf(stderr, "emblem-icons: %s holds no PNG image\n", argv[1]);
    return 1;
  }
  return 0;
}
