#include "dispatch/SequenceChecker.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform::dispatch {
namespace {

#ifdef NDEBUG
constexpr bool kChecks = false;
#else
constexpr bool kChecks = true;
#endif

bool onAnotherThread(const SequenceChecker& checker) {
  bool valid = false;
  std::thread([&] { valid = checker.calledOnValidSequence(); }).join();
  return valid;
}

TEST(SequenceChecker, BindsToTheFirstThreadThatAsksAndMovesOnlyAfterDetach) {
  SequenceChecker checker;
  // Made on this thread, first used on another: the other thread is the one it binds to.
  bool boundElsewhere = false;
  std::thread([&] {
    boundElsewhere = checker.calledOnValidSequence() && checker.calledOnValidSequence();
  }).join();
  EXPECT_TRUE(boundElsewhere);
  EXPECT_EQ(checker.calledOnValidSequence(), !kChecks);
  checker.detach();
  EXPECT_TRUE(checker.calledOnValidSequence());  // this thread now
  EXPECT_EQ(onAnotherThread(checker), !kChecks);
  EXPECT_TRUE(checker.calledOnValidSequence());
}

TEST(SequenceCheckerDeathTest, UseFromTheWrongThreadAbortsInDebugBuilds) {
  if (!kChecks) GTEST_SKIP() << "release builds do not check";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SequenceChecker checker;
        PELLORA_DCHECK_SEQUENCE(checker);
        std::thread([&] { PELLORA_DCHECK_SEQUENCE(checker); }).join();
      },
      "called on the wrong thread");
  SequenceChecker checker;
  PELLORA_DCHECK_SEQUENCE(checker);
  PELLORA_DCHECK_SEQUENCE(checker);  // the bound thread passes, again and again
}

}  // namespace
}  // namespace platform::dispatch
