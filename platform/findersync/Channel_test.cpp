#include "findersync/Channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Wait.h"
#include "dispatch/Queue.h"
#include "findersync/Protocol.h"

namespace platform::findersync {
namespace {

using namespace std::chrono_literals;
using pellora::testing::waitUntil;

// Collects what a channel delivers, from whatever thread delivers it.
struct Inbox {
  std::mutex mutex;
  std::vector<nlohmann::json> messages;
  std::atomic<int> closed{0};

  Channel::Handlers handlers() {
    return {[this](const nlohmann::json& m) {
              std::lock_guard lock(mutex);
              messages.push_back(m);
            },
            [this] { ++closed; }};
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
  nlohmann::json at(size_t i) {
    std::lock_guard lock(mutex);
    return messages.at(i);
  }
};

Channel::Post onQueue(const std::shared_ptr<dispatch::Queue>& queue) {
  return [queue](dispatch::Work w) { queue->async(std::move(w)); };
}

struct Pair {
  int fds[2] = {-1, -1};
  Pair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
};

bool writeRaw(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

TEST(Channel, CarriesMessagesBothWaysInOrder) {
  Pair p;
  Inbox a, b;
  auto queue = dispatch::makeSerialQueue("test.channel");
  Channel left(p.fds[0], onQueue(queue), a.handlers());
  Channel right(p.fds[1], onQueue(queue), b.handlers());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(left.send({{"op", "n"}, {"i", i}}));
  ASSERT_TRUE(right.send({{"op", "back"}, {"path", "/a b/\"q\"\n"}}));
  ASSERT_TRUE(waitUntil([&] { return b.size() == 100 && a.size() == 1; }, 5s));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(b.at(static_cast<size_t>(i))["i"], i);
  EXPECT_EQ(a.at(0)["path"], "/a b/\"q\"\n");
}

TEST(Channel, WholeMessagesUnderConcurrentSends) {
  Pair p;
  Inbox in;
  auto queue = dispatch::makeSerialQueue("test.channel");
  Channel sender(p.fds[0], onQueue(queue), {});
  Channel receiver(p.fds[1], onQueue(queue), in.handlers());
  constexpr int kThreads = 8, kEach = 200;
  // Large messages: a torn write would show as a parse failure or a short count.
  const std::string filler(5000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) sender.send({{"t", t}, {"i", i}, {"fill", filler}});
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(waitUntil([&] { return in.size() == kThreads * kEach; }, 10s)) << in.size();
  std::map<int, int> next;
  for (size_t k = 0; k < in.size(); ++k) {
    const auto m = in.at(k);
    const int t = m["t"], i = m["i"];
    EXPECT_EQ(i, next[t]++) << "thread " << t << " out of order";
    EXPECT_EQ(m["fill"], filler);
  }
}

TEST(Channel, SkipsLinesThatAreNotObjectsAndTellsWhenThePeerCloses) {
  Pair p;
  Inbox in;
  auto queue = dispatch::makeSerialQueue("test.channel");
  Channel channel(p.fds[0], onQueue(queue), in.handlers());
  ASSERT_TRUE(writeRaw(p.fds[1], "{torn\n[1,2]\n{\"op\":\"ok\"}\n{\"op\":\"split"));
  ASSERT_TRUE(writeRaw(p.fds[1], "\"}\n"));
  ::close(p.fds[1]);
  ASSERT_TRUE(waitUntil([&] { return in.closed == 1; }, 5s));
  ASSERT_EQ(in.size(), 2u);
  EXPECT_EQ(in.at(0)["op"], "ok");
  EXPECT_EQ(in.at(1)["op"], "split");
  EXPECT_FALSE(channel.send({{"op", "late"}}));
  EXPECT_FALSE(channel.isOpen());
}

TEST(Channel, CloseStopsDeliveriesAndEndsThePeersStream) {
  Pair p;
  Inbox in;
  auto queue = dispatch::makeSerialQueue("test.channel");
  Channel channel(p.fds[0], onQueue(queue), in.handlers());
  channel.close();
  EXPECT_FALSE(channel.send({{"op", "x"}}));
  writeRaw(p.fds[1], "{\"op\":\"after\"}\n");
  // The peer sees the end of the stream.
  pollfd pfd{p.fds[1], POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
  char c;
  EXPECT_EQ(::recv(p.fds[1], &c, 1, 0), 0);
  queue->sync([] {});
  EXPECT_EQ(in.size(), 0u);
  EXPECT_EQ(in.closed, 0);  // our own close is not reported
  ::close(p.fds[1]);
}

TEST(Channel, AnOverlongLineClosesTheConnection) {
  Pair p;
  Inbox in;
  auto queue = dispatch::makeSerialQueue("test.channel");
  Channel channel(p.fds[0], onQueue(queue), in.handlers());
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    const std::string chunk(1 << 16, 'y');
    for (size_t sent = 0; writing && sent <= Channel::kMaxLine + chunk.size();
         sent += chunk.size()) {
      if (!writeRaw(p.fds[1], chunk)) break;
    }
  });
  EXPECT_TRUE(waitUntil([&] { return in.closed == 1; }, 10s));
  writing = false;
  ::shutdown(p.fds[1], SHUT_RDWR);
  writer.join();
  EXPECT_EQ(in.size(), 0u);
  ::close(p.fds[1]);
}

TEST(ChannelFraming, LinesOverTheLimitEndTheStreamHoweverTheyAreCut) {
  const std::string stream = "{\"op\":\"a\"}\n[1]\n{\"op\":\"" + std::string(40, 'x') +
                             "\"}\n{\"op\":\"late\"}\n";
  // In one read and byte by byte: the same messages, the same verdict.
  for (const size_t piece : {stream.size(), size_t{1}}) {
    std::string buffer;
    std::vector<std::string> ops;
    size_t dropped = 0;
    bool overlong = false;
    for (size_t at = 0; at < stream.size() && !overlong; at += piece) {
      auto got = message::receive(buffer, std::string_view(stream).substr(at, piece), 32);
      for (const auto& m : got.messages) ops.push_back(message::text(m, "op"));
      dropped += got.dropped;
      overlong = got.overlong;
    }
    EXPECT_EQ(ops, std::vector<std::string>{"a"}) << piece;
    EXPECT_EQ(dropped, 1u) << piece;
    EXPECT_TRUE(overlong) << piece;
  }
  std::string buffer;
  const auto got = message::receive(buffer, "{\"op\":\"b\"}\n{\"op\":", 32);
  EXPECT_EQ(got.messages.size(), 1u);
  EXPECT_FALSE(got.overlong);
  EXPECT_EQ(buffer, "{\"op\":");  // the unfinished line waits for the next read
}

}  // namespace
}  // namespace platform::findersync
