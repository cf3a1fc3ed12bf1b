#include "ControlServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "ControlClient.h"
#include "TempDir.h"

namespace pellora::gatewaysim {
namespace {

using pellora::testing::TempDir;

TEST(ControlServer, AnswersEachLineOfEachClient) {
  TempDir dir;
  const std::string path = dir / "ctl.sock";
  ControlServer server(path, [](const std::string& line) { return "got:" + line; });
  ASSERT_EQ(server.start(), 0);

  std::string answer;
  ASSERT_TRUE(sendCommand(path, "hello there", answer)) << answer;
  EXPECT_EQ(answer, "got:hello there");

  std::vector<std::thread> clients;
  std::vector<std::string> answers(4);
  for (size_t i = 0; i < answers.size(); ++i) {
    clients.emplace_back([&, i] { sendCommand(path, "c" + std::to_string(i), answers[i]); });
  }
  for (auto& t : clients) t.join();
  for (size_t i = 0; i < answers.size(); ++i) EXPECT_EQ(answers[i], "got:c" + std::to_string(i));
}

TEST(ControlServer, TwoLinesInOneWriteGetTwoAnswers) {
  TempDir dir;
  const std::string path = dir / "ctl.sock";
  ControlServer server(path, [](const std::string& line) { return "[" + line + "]"; });
  ASSERT_EQ(server.start(), 0);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const std::string request = "a\nb\n";
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string reply;
  while (std::count(reply.begin(), reply.end(), '\n') < 2) {
    char buf[64];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    reply.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(reply, "[a]\n[b]\n");
  ::close(fd);
}

TEST(ControlServer, StopRemovesTheSocket) {
  TempDir dir;
  const std::string path = dir / "ctl.sock";
  dir.write("ctl.sock", "stale");  // a leftover file is replaced
  ControlServer server(path, [](const std::string&) { return "ok"; });
  ASSERT_EQ(server.start(), 0);
  std::string answer;
  ASSERT_TRUE(sendCommand(path, "x", answer));
  server.stop();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  EXPECT_FALSE(sendCommand(path, "x", answer));
  EXPECT_NE(answer.find("connect"), std::string::npos);
}

TEST(ControlServer, RefusesAPathTooLongForASocket) {
  ControlServer server("/tmp/" + std::string(200, 'x'), [](const std::string&) { return ""; });
  EXPECT_EQ(server.start(), ENAMETOOLONG);
}

}  // namespace
}  // namespace pellora::gatewaysim
