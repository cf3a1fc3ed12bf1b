// Talks to the service as a Finder extension would, and prints what it receives:
//   extension-probe HOME [PATH...] [--hydrate FILE] [--wait SECONDS]
// Reads HOME/.zavroPellora/port, connects with the key, prints the two opening frames, asks for
// the badge of every PATH, then (with --hydrate) reads FILE's download attribute as a user's
// open would and prints the pushes that follow for up to SECONDS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ExtensionProtocol.h"
#include "PortFile.h"
#include "process/StandardOptions.h"
#include "xattr/Xattr.h"

namespace {

std::string buffer;

// The next CR LF frame, or false after the deadline.
bool readFrame(int fd, std::chrono::steady_clock::time_point deadline, std::string& frame) {
  for (;;) {
    const size_t at = buffer.find(pellora::protocol::kFrameEnd);
    if (at != std::string::npos) {
      frame = buffer.substr(0, at);
      buffer.erase(0, at + pellora::protocol::kFrameEnd.size());
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

void show(const char* what, const std::string& frame) {
  std::printf("%-10s %s\n", what, frame.empty() ? "(empty frame)" : frame.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kUsage = "usage: extension-probe HOME [PATH...] [--hydrate FILE] [--wait SECONDS]\n";
  const std::string version = platform::process::toolVersionLine("extension-probe", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, kUsage, version)) return *status;
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<std::string> paths;
  std::string hydrate;
  int wait = 8;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--hydrate" && i + 1 < argc) {
      hydrate = argv[++i];
    } else if (a == "--wait" && i + 1 < argc) {
      wait = std::atoi(argv[++i]);
    } else {
      paths.push_back(a);
    }
  }
  // Wait for the service to write its port file, as the extension does.
  const PortFile portFile(argv[1]);
  std::optional<PortFile::Content> content;
  for (int tries = 0; tries < 100; ++tries) {
    content = portFile.read();
    if (content && content->token.find('\n') != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!content) {
    std::fprintf(stderr, "extension-probe: no port file under %s\n", argv[1]);
    return 1;
  }
  const int port = content->port;
  const std::string key = content->token;
  std::printf("port file  %d,%s", port, key.c_str());

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("extension-probe: connect");
    return 1;
  }
  ::send(fd, key.data(), key.size(), MSG_NOSIGNAL);
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(5); };
  std::string frame;
  if (!readFrame(fd, soon(), frame)) return 1;
  show("<- filter", frame);
  if (!readFrame(fd, soon(), frame)) return 1;
  show("<- icon", frame);

  if (!paths.empty()) {
    std::string request;
    for (const auto& p : paths) {
      request +=
          pellora::protocol::frame(pellora::protocol::encode(pellora::protocol::getFileIconId(p)));
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::printf("-> asked   the badges of %zu files\n", paths.size());
    if (!readFrame(fd, soon(), frame)) return 1;
    show("<- answer", frame);
  }
  if (hydrate.empty()) return 0;
  char digit[2] = {};
  const ssize_t n = platform::xattr::get(hydrate, "zavro.download.file", digit, sizeof digit, 0, 0);
  std::printf("-- opened  %s: download attribute answered %s\n", hydrate.c_str(),
              n == 1 ? digit : "nothing");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
  while (readFrame(fd, deadline, frame)) {
    show("<- push", frame);
    if (frame.find(hydrate) != std::string::npos) break;
  }
  ::close(fd);
  return 0;
}
