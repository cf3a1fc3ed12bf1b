// update-signer: the release side of software updates. Makes the key pair, packs a bundle
// into an archive, signs archives and writes the appcast that the updater reads, so that the
// tests and the releases make their feeds the same way.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process/Process.h"
#include "process/StandardOptions.h"
#include "updater/Appcast.h"
#include "updater/Signature.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::updater;

constexpr const char* kUsage =
    "usage: update-signer generate-keys KEY_FILE\n"
    "         writes a new private key to KEY_FILE (never over an existing file) and prints\n"
    "         the public key for the bundle's UpdaterPublicEDKey\n"
    "       update-signer public-key KEY_FILE\n"
    "       update-signer archive BUNDLE ARCHIVE\n"
    "         packs BUNDLE (X.app) into a gzip-compressed tar file with X.app at its top\n"
    "       update-signer sign KEY_FILE ARCHIVE\n"
    "       update-signer verify PUBLIC_KEY SIGNATURE ARCHIVE\n"
    "       update-signer appcast KEY_FILE OUTPUT [--title TITLE]\n"
    "                     --item VERSION SHORT_VERSION URL ARCHIVE [--item ...]\n"
    "         writes the appcast with each archive's length and signature\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "update-signer: %s\n", message.c_str());
  return 1;
}

std::optional<std::string> readKey(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string key;
  in >> key;
  return key;
}

int generateKeys(const std::string& path) {
  const KeyPair pair = generateKeyPair();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return fail(path + ": " + std::strerror(errno));
  const std::string line = pair.privateKey + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (::close(fd) != 0 || !written) return fail(path + ": cannot be written");
  std::printf("%s\n", pair.publicKey.c_str());
  return 0;
}

int publicKey(const std::string& path) {
  const auto key = readKey(path);
  const auto pub = key ? publicKeyFor(*key) : std::nullopt;
  if (!pub) return fail(path + ": not a private key");
  std::printf("%s\n", pub->c_str());
  return 0;
}

int archive(const std::string& bundle, const std::string& output) {
  const fs::path path = fs::absolute(bundle).lexically_normal();
  const fs::path trimmed = path.filename().empty() ? path.parent_path() : path;
  std::error_code ec;
  if (trimmed.extension() != ".app" || !fs::is_directory(trimmed, ec)) {
    return fail(bundle + ": not an application bundle");
  }
  // Sorted names and neutral owners: the same bundle gives the same archive content.
  const auto result = platform::process::run(
      {"tar", "-c", "-z", "-f", fs::absolute(output).string(), "--sort=name", "--owner=0",
       "--group=0", "--numeric-owner", "-C", trimmed.parent_path().string(),
       trimmed.filename().string()});
  if (!result.started || result.exitStatus != 0) return fail(output + ": tar failed");
  return 0;
}

int sign(const std::string& keyPath, const std::string& file) {
  const auto key = readKey(keyPath);
  if (!key) return fail(keyPath + ": cannot be read");
  const auto signature = signFile(file, *key);
  if (!signature) return fail("cannot sign " + file + " with " + keyPath);
  std::printf("%s\n", signature->c_str());
  return 0;
}

int verify(const std::string& key, const std::string& signature, const std::string& file) {
  const SignatureCheck check = verifyFile(file, signature, key);
  std::printf("%s\n", describe(check));
  return check == SignatureCheck::Valid ? 0 : 1;
}

int writeFeed(const std::vector<std::string>& args) {
  if (args.size() < 2) return usage();
  const auto key = readKey(args[0]);
  if (!key || !publicKeyFor(*key)) return fail(args[0] + ": not a private key");
  const std::string output = args[1];
  Appcast appcast;
  appcast.title = "Updates";
  for (size_t i = 2; i < args.size();) {
    if (args[i] == "--title" && i + 1 < args.size()) {
      appcast.title = args[i + 1];
      i += 2;
      continue;
    }
    if (args[i] != "--item" || i + 4 >= args.size()) return usage();
    AppcastItem item;
    item.version = args[i + 1];
    item.shortVersionString = args[i + 2];
    item.url = args[i + 3];
    const std::string file = args[i + 4];
    i += 5;
    item.title = "Version " + (item.shortVersionString.empty() ? item.version
                                                               : item.shortVersionString);
    std::error_code ec;
    item.length = fs::file_size(file, ec);
    if (ec || item.length == 0) return fail(file + ": not a usable archive");
    const auto signature = signFile(file, *key);
    if (!signature) return fail("cannot sign " + file);
    item.edSignature = *signature;
    appcast.items.push_back(std::move(item));
  }
  if (appcast.items.empty()) return usage();
  // Written beside and renamed, so that a server never hands out half a feed.
  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << writeAppcast(appcast);
    if (!out.flush()) return fail(temporary + ": cannot be written");
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    return fail(output + ": " + std::strerror(errno));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string version = platform::process::toolVersionLine("update-signer", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, kUsage, version)) return *status;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "generate-keys" && rest.size() == 1) return generateKeys(rest[0]);
  if (command == "public-key" && rest.size() == 1) return publicKey(rest[0]);
  if (command == "archive" && rest.size() == 2) return archive(rest[0], rest[1]);
  if (command == "sign" && rest.size() == 2) return sign(rest[0], rest[1]);
  if (command == "verify" && rest.size() == 3) return verify(rest[0], rest[1], rest[2]);
  if (command == "appcast") return writeFeed(rest);
  return usage();
}
