#include "CommandServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>

#include "CommandClient.h"
#include "TempDir.h"
#include "dispatch/RunLoop.h"

namespace pellora::finder {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;

// The client blocks; the server answers on the main loop, which this serves meanwhile.
CommandResult ask(const std::string& socket, std::vector<std::string> args,
                  std::chrono::milliseconds timeout = 5s) {
  auto answer = std::async(std::launch::async, [&] { return sendCommand(socket, args, timeout); });
  RunLoop::main()->runUntil([&] { return answer.wait_for(0s) == std::future_status::ready; },
                            timeout + 5s);
  return answer.get();
}

std::string joined(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += "<" + a + ">";
  return out;
}

TEST(CommandServer, AnswersEachRequestWithStatusAndOutput) {
  TempDir dir;
  const std::string socket = dir / "control.sock";
  CommandServer server(socket,
                       [](const std::vector<std::string>& args, CommandServer::Reply reply) {
                         reply({args.size() == 1 ? 0 : 3, joined(args), "err text"});
                       });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  auto r = ask(socket, {"ls", "/a folder/with \"quotes\"\nand a newline"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "<ls></a folder/with \"quotes\"\nand a newline>");
  EXPECT_EQ(r.err, "err text");
  EXPECT_EQ(ask(socket, {"one"}).status, 0);
  server.stop();
  EXPECT_FALSE(std::filesystem::exists(socket));
  r = ask(socket, {"one"});
  EXPECT_EQ(r.status, 69);
  EXPECT_NE(r.err.find("no Finder is running"), std::string::npos);
}

TEST(CommandServer, AnswersMayComeLater) {
  TempDir dir;
  const std::string socket = dir / "control.sock";
  CommandServer::Reply pending;
  CommandServer server(socket, [&](const std::vector<std::string>&, CommandServer::Reply reply) {
    pending = std::move(reply);
    RunLoop::main()->addTimer(50ms, 0ms, [&] { pending(CommandResult::ok("late\n")); });
  });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  const auto r = ask(socket, {"menu"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "late\n");
}

TEST(CommandServer, AClientThatGivesUpDoesNotDisturbTheServer) {
  TempDir dir;
  const std::string socket = dir / "control.sock";
  std::vector<CommandServer::Reply> parked;
  CommandServer server(socket,
                       [&](const std::vector<std::string>& args, CommandServer::Reply reply) {
                         if (args[0] == "never") {
                           parked.push_back(std::move(reply));
                         } else {
                           reply(CommandResult::ok("fine"));
                         }
                       });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  const auto r = ask(socket, {"never"}, 200ms);
  EXPECT_EQ(r.status, 69);
  EXPECT_NE(r.err.find("did not answer"), std::string::npos);
  ASSERT_EQ(parked.size(), 1u);
  parked[0](CommandResult::ok("too late"));  // goes nowhere, harmlessly
  EXPECT_EQ(ask(socket, {"x"}).out, "fine");
}

TEST(CommandServer, RefusesMalformedRequests) {
  TempDir dir;
  const std::string socket = dir / "control.sock";
  bool called = false;
  CommandServer server(socket, [&](const std::vector<std::string>&, CommandServer::Reply reply) {
    called = true;
    reply(CommandResult::ok());
  });
  std::string error;
  ASSERT_TRUE(server.start(error)) << error;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, socket.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string request = "{\"args\": [1, 2]}\n";
  ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  std::string answer;
  RunLoop::main()->runUntil(
      [&] {
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) answer.append(buf, static_cast<size_t>(n));
        return answer.find('\n') != std::string::npos;
      },
      5s);
  ::close(fd);
  EXPECT_NE(answer.find("\"status\":64"), std::string::npos) << answer;
  EXPECT_FALSE(called);
}

TEST(CommandServer, OneDaemonPerSocketAndStaleSocketsAreReplaced) {
  TempDir dir;
  const std::string socket = dir / "control.sock";
  const auto answer = [](const std::vector<std::string>&, CommandServer::Reply reply) {
    reply(CommandResult::ok("first"));
  };
  {
    // A socket file nobody listens on is left over from a daemon that died.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, socket.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  CommandServer first(socket, answer);
  std::string error;
  ASSERT_TRUE(first.start(error)) << error;
  CommandServer second(socket, answer);
  EXPECT_FALSE(second.start(error));
  EXPECT_NE(error.find("already runs"), std::string::npos);
  EXPECT_EQ(ask(socket, {"x"}).out, "first");
}

}  // namespace
}  // namespace pellora::finder
