// For the tests of this folder: the Finder stand-in's scripting target (its view options and
// consent, tools/finder) served on a run loop of a thread of its own, so that the code under
// test may block on Finder from the main thread. A filter may change answers on their way out.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ConsentStore.h"
#include "ScriptingTarget.h"
#include "ViewOptions.h"
#include "dispatch/RunLoop.h"
#include "finderscript/FinderApplication.h"
#include "finderscript/ScriptServer.h"

namespace pellora::testing {

class TestFinder {
 public:
  // Changes an answer to request before it goes out.
  using Filter = std::function<void(const nlohmann::json& request, nlohmann::json& answer)>;

  TestFinder(const std::string& socketPath, const std::string& consentFile)
      : socketPath_(socketPath), consent_(consentFile), target_(viewOptions_, consent_) {
    std::promise<bool> started;
    thread_ = std::thread([this, &started] {
      loop_ = platform::dispatch::RunLoop::current();
      auto handlers = target_.handlers();
      auto handle = handlers.request;
      handlers.request = [this, handle](uint64_t connection,
                                        const platform::finderscript::Peer& peer,
                                        const nlohmann::json& request,
                                        platform::finderscript::ScriptServer::Reply reply) {
        ++requests_;
        if (hung_) return;
        handle(connection, peer, request, [this, request, reply](const nlohmann::json& answer) {
          nlohmann::json changed = answer;
          if (filter_) filter_(request, changed);
          return reply(changed);
        });
      };
      platform::finderscript::ScriptServer server(socketPath_, loop_, handlers);
      std::string error;
      const bool ok = server.start(error);
      started.set_value(ok);
      if (ok) loop_->run();
    });
    ok_ = started.get_future().get();
  }

  ~TestFinder() {
    if (loop_) loop_->stop();
    thread_.join();
  }

  bool ok() const { return ok_; }
  std::shared_ptr<platform::finderscript::FinderApplication> application() const {
    return platform::finderscript::FinderApplication::applicationAtSocket(socketPath_);
  }

  void setFilter(Filter filter) {
    std::promise<void> done;
    loop_->perform([&] {
      filter_ = std::move(filter);
      done.set_value();
    });
    done.get_future().wait();
  }
  // A hung Finder takes requests and never answers them.
  void setHung(bool hung) { hung_ = hung; }
  int requests() const { return requests_; }

  // A folder's view options as Finder keeps them (read on Finder's thread).
  finder::WindowViewOptions viewOptions(const std::string& folder) {
    std::promise<finder::WindowViewOptions> got;
    loop_->perform([&] { got.set_value(viewOptions_.get(folder)); });
    return got.get_future().get();
  }

 private:
  const std::string socketPath_;
  finder::ViewOptionsStore viewOptions_;
  finder::ConsentStore consent_;
  finder::ScriptingTarget target_;
  Filter filter_;
  std::atomic<bool> hung_{false};
  std::atomic<int> requests_{0};
  std::shared_ptr<platform::dispatch::RunLoop> loop_;
  std::thread thread_;
  bool ok_ = false;
};

}  // namespace pellora::testing
