#include "FailedThumbnails.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pellora::nautilus {

namespace {

// The factory that Nautilus uses reads its records from here.
constexpr const char* kFactoryFolder = "/thumbnails/fail/gnome-thumbnail-factory";
constexpr const char* kSoftware = "Pellora";
constexpr const char kSignature[] = "\x89PNG\r\n\x1a\n";

uint32_t crc32(const std::string& data) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

uint32_t get32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

void chunk(std::string& out, const char* type, const std::string& data) {
  put32(out, static_cast<uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out += body;
  put32(out, crc32(body));
}

std::string text(const char* key, const std::string& value) {
  return std::string(key) + '\0' + value;
}

// A zlib stream holding bytes in one stored (uncompressed) block.
std::string stored(const std::string& raw) {
  std::string out = "\x78\x01";
  out.push_back('\x01');  // the last block, stored
  const auto len = static_cast<uint16_t>(raw.size());
  out.push_back(static_cast<char>(len & 0xFF));
  out.push_back(static_cast<char>(len >> 8));
  out.push_back(static_cast<char>(~len & 0xFF));
  out.push_back(static_cast<char>((~len >> 8) & 0xFF));
  out += raw;
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put32(out, (b << 16) | a);
  return out;
}

std::optional<std::string> fileUri(const std::string& path) {
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  if (!uri) return std::nullopt;
  std::string out(uri);
  g_free(uri);
  return out;
}

}  // namespace

FailedThumbnails::FailedThumbnails(std::string cacheDir)
    : folder_(std::move(cacheDir) + kFactoryFolder) {}

std::string FailedThumbnails::encode(const std::string& uri, time_t mtime) {
  std::string png(kSignature, 8);
  std::string header;
  put32(header, 1);
  put32(header, 1);
  header += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA, no interlace
  chunk(png, "IHDR", header);
  chunk(png, "tEXt", text("Thumb::URI", uri));
  chunk(png, "tEXt", text("Thumb::MTime", std::to_string(static_cast<long long>(mtime))));
  chunk(png, "tEXt", text("Software", kSoftware));
  chunk(png, "IDAT", stored(std::string(5, '\0')));  // filter byte, one transparent pixel
  chunk(png, "IEND", "");
  return png;
}

std::string FailedThumbnails::recordPath(const std::string& path) const {
  const auto uri = fileUri(path);
  if (!uri) return {};
  gchar* md5 = g_compute_checksum_for_string(G_CHECKSUM_MD5, uri->c_str(), -1);
  std::string out = folder_ + "/" + md5 + ".png";
  g_free(md5);
  return out;
}

bool FailedThumbnails::write(const std::string& path, time_t mtime) const {
  const auto uri = fileUri(path);
  if (!uri) return false;
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  ::chmod(folder_.c_str(), 0700);
  const std::string record = recordPath(path);
  // Written beside and renamed: the factory never reads half a record.
  const std::string temp = record + ".pellora-" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    const std::string png = encode(*uri, mtime);
    if (!out.write(png.data(), static_cast<std::streamsize>(png.size())) || !out.flush()) {
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  if (::rename(temp.c_str(), record.c_str()) != 0) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

std::optional<FailedThumbnails::Record> FailedThumbnails::read(const std::string& path) const {
  std::ifstream in(recordPath(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string png = buffer.str();
  if (png.compare(0, 8, std::string(kSignature, 8)) != 0) return std::nullopt;
  Record record;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t len = get32(png, at);
    if (at + 12 + len > png.size()) return std::nullopt;
    const std::string type = png.substr(at + 4, 4);
    if (type == "tEXt") {
      const std::string data = png.substr(at + 8, len);
      const size_t nul = data.find('\0');
      if (nul != std::string::npos) {
        const std::string key = data.substr(0, nul), value = data.substr(nul + 1);
        if (key == "Thumb::URI") record.uri = value;
        if (key == "Thumb::MTime") record.mtime = value;
        if (key == "Software") record.ours = value == kSoftware;
      }
    }
    if (type == "IEND") break;
    at += 12 + len;
  }
  return record;
}

bool FailedThumbnails::removeOurs(const std::string& path) const {
  const auto record = read(path);
  if (!record || !record->ours) return false;
  return ::unlink(recordPath(path).c_str()) == 0;
}

}  // namespace pellora::nautilus
