#include "process/Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <future>
#include <thread>

namespace platform::process {
namespace {

using namespace std::chrono_literals;

TEST(Process, ListsThisProcessWithItsNameAndRealUser) {
  const auto self = processInfo(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->name, "platform_test");
  EXPECT_EQ(self->realUid, ::getuid());
  bool found = false;
  for (const auto& p : listProcesses()) found = found || p.pid == ::getpid();
  EXPECT_TRUE(found);
  EXPECT_FALSE(processInfo(-5).has_value());
}

TEST(Process, RunsCommandsAndCapturesOutput) {
  const auto echo = run({"echo", "hello", "world"}, {.captureOutput = true});
  EXPECT_TRUE(echo.started);
  EXPECT_EQ(echo.exitStatus, 0);
  EXPECT_EQ(echo.output, "hello world\n");
  EXPECT_EQ(runShell("exit 3").exitStatus, 3);
  EXPECT_FALSE(run({"/nonexistent/program"}).started);
}

TEST(Process, ShellQuotingKeepsAnyPathOneWord) {
  for (const std::string path :
       {"/Applications/Zavro Pellora.app", "it's", "$(touch /tmp/x)", "a\"b\\c", "`id`", ""}) {
    const auto out =
        runShell("printf '%s' " + shellQuote(path), {.captureOutput = true});
    EXPECT_EQ(out.output, path);
  }
}

TEST(Process, WakerCutsAWaitShortAndStopsTheChild) {
  Waker waker;
  auto result = std::async(std::launch::async, [&] {
    return run({"sleep", "30"}, {.waker = &waker});
  });
  // The child is running once the wait blocks; waking ends it either way.
  waker.wake();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  const auto r = result.get();
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.interrupted);
  EXPECT_TRUE(waker.waitFor(0));
}

TEST(Process, SignalsReachTheirProcess) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  EXPECT_TRUE(sendSignal(child, SIGKILL));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(sendSignal(child, SIGKILL));  // gone
}

}  // namespace
}  // namespace platform::process
