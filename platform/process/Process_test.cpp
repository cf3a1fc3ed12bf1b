#include "process/Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "TempDir.h"
#include "Wait.h"

namespace platform::process {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text, '\0');
  return text;
}

// The pid a shell wrote into file, once it is there.
pid_t pidIn(const std::string& file) {
  pid_t pid = 0;
  waitUntil([&] {
    const std::string text = readFile(file);
    pid = text.empty() || text.back() != '\n' ? 0 : std::atoi(text.c_str());
    return pid > 0;
  });
  return pid;
}

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

TEST(Process, AStopEndsWhatTheShellStartedWithIt) {
  TempDir dir;
  const std::string childFile = dir / "child";
  Waker waker;
  auto result = std::async(std::launch::async, [&] {
    // The program must outlive the shell's own end for the test to mean anything.
    return runShell("sleep 300 & echo $! > " + shellQuote(childFile) + "; wait", {.waker = &waker});
  });
  const pid_t program = pidIn(childFile);
  ASSERT_GT(program, 0);
  ASSERT_TRUE(isAlive(program));
  const auto stat = processStat(program);
  ASSERT_TRUE(stat.has_value());
  EXPECT_NE(stat->processGroup, ::getpgrp());  // the child's own group, not ours
  waker.wake();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(result.get().interrupted);
  EXPECT_TRUE(waitUntil([&] { return !isAlive(program); }));
}

TEST(Process, AProgramThatIgnoresTheStopIsKilledAfterTheGrace) {
  TempDir dir;
  const std::string childFile = dir / "child";
  Waker waker;
  auto result = std::async(std::launch::async, [&] {
    return runShell("trap '' TERM; sleep 300 & echo $! > " + shellQuote(childFile) + "; wait",
                    {.waker = &waker, .killGrace = 200ms});
  });
  const pid_t program = pidIn(childFile);
  ASSERT_GT(program, 0);
  waker.wake();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(result.get().interrupted);
  EXPECT_TRUE(waitUntil([&] { return !isAlive(program); }));
}

TEST(Process, ChildrenGetTheStopSignalEvenWhenThisThreadBlocksIt) {
  // The service blocks SIGTERM to read it from a descriptor; its children must not inherit that.
  Waker waker;
  auto result = std::async(std::launch::async, [&] {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A grace far longer than the wait below: only SIGTERM can end the child in time.
    return run({"sleep", "300"}, {.waker = &waker, .killGrace = 60s});
  });
  waker.wake();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(result.get().interrupted);
}

TEST(Process, DetachedProgramsRunInTheirOwnSessionWithTheChangedEnvironment) {
  TempDir dir;
  const std::string out = dir / "out";
  ::setenv("PELLORA_TEST_REMOVED", "present", 1);
  const auto spawned = spawnDetached(
      {"/bin/sh", "-c",
       "echo \"$$ $(ps -o pgid= -p $$) $PELLORA_TEST_ADDED ${PELLORA_TEST_REMOVED-unset} "
       "$(readlink /proc/self/fd/0)\" > " + shellQuote(out) + ".tmp; mv " + shellQuote(out) +
           ".tmp " + shellQuote(out) + "; exec sleep 300"},
      {{"PELLORA_TEST_ADDED", "added"}, {"PELLORA_TEST_REMOVED", std::nullopt}});
  ::unsetenv("PELLORA_TEST_REMOVED");
  ASSERT_GT(spawned.pid, 0);
  ASSERT_TRUE(waitUntil([&] { return !readFile(out).empty(); }));
  std::istringstream fields(readFile(out));
  pid_t reported = 0, group = 0;
  std::string added, removed, input;
  fields >> reported >> group >> added >> removed >> input;
  EXPECT_EQ(reported, spawned.pid);
  EXPECT_EQ(group, spawned.pid);
  EXPECT_EQ(added, "added");
  EXPECT_EQ(removed, "unset");
  EXPECT_EQ(input, "/dev/null");
  const auto stat = processStat(spawned.pid);
  ASSERT_TRUE(stat.has_value());
  EXPECT_EQ(stat->session, spawned.pid);
  // Not our child: nothing here has to reap it.
  EXPECT_EQ(::waitpid(spawned.pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_TRUE(sendSignal(spawned.pid, SIGKILL));
  EXPECT_TRUE(waitUntil([&] { return !isAlive(spawned.pid); }));

  const auto missing = spawnDetached({dir / "no-such-program"});
  EXPECT_EQ(missing.pid, 0);
  EXPECT_EQ(missing.error, ENOENT);
  const std::string plain = dir.write("not-executable", "#!/bin/sh\n");
  EXPECT_EQ(spawnDetached({plain}).error, EACCES);
  EXPECT_EQ(spawnDetached({"sh"}).error, ENOENT);  // never searched
}

TEST(Process, ExecutablesAreFoundOnTheGivenSearchPath) {
  TempDir dir;
  const std::string tool = dir.write("b/tool", "#!/bin/sh\n");
  ::chmod(tool.c_str(), 0755);
  dir.write("a/tool", "not executable");
  dir.mkdir("c/tool");  // a folder is no program
  const std::string path = dir / "c" + "::" + dir / "a" + ":" + dir / "b";
  EXPECT_EQ(findExecutable("tool", path), tool);
  EXPECT_FALSE(findExecutable("tool", dir / "a").has_value());
  EXPECT_EQ(findExecutable(tool, ""), tool);
  EXPECT_FALSE(findExecutable(dir / "a/tool", path).has_value());
  EXPECT_FALSE(findExecutable("", path).has_value());
}

TEST(Process, StatAndArgumentsDescribeThisProcess) {
  const auto self = processStat(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->processGroup, ::getpgrp());
  EXPECT_EQ(self->startTime, processStat(::getpid())->startTime);
  EXPECT_TRUE(isAlive(::getpid()));
  EXPECT_FALSE(processStat(-1).has_value());
  const auto args = arguments();
  ASSERT_FALSE(args.empty());
  EXPECT_NE(args[0].find("platform_test"), std::string::npos);
  EXPECT_FALSE(bootIdentifier().empty());

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  // Ended but not yet reaped: a zombie is not alive.
  EXPECT_TRUE(waitUntil([&] { return !isAlive(child); }));
  ::waitpid(child, nullptr, 0);
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
