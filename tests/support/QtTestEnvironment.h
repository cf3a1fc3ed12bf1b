// Include in exactly one source of a test binary that shows windows: the whole run gets one
// application object on the offscreen platform, with the main queue bound to its event loop.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "ui/Application.h"

namespace pellora::testing {

class QtTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<platform::ui::Application>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<platform::ui::Application> app_;
};

inline ::testing::Environment* const kQtTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtTestEnvironment);

}  // namespace pellora::testing
