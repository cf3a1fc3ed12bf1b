#include "updater/SPUUpdater.h"

#include <thread>

#include "bundle/Bundle.h"
#include "dispatch/Queue.h"
#include "dispatch/SequenceChecker.h"
#include "log/Log.h"
#include "updater/Signature.h"
#include "updater/UpdateCycle.h"

namespace platform::updater {
namespace {

const log::Log& updaterLog() {
  static const log::Log log("platform", "updater");
  return log;
}

constexpr std::chrono::milliseconds kDefaultCheckInterval = std::chrono::hours(24);

}  // namespace

// Lives on the main thread; queued work holds it weakly. The cycle thread sees only its copied
// input and the cancel waker.
struct SPUUpdater::State : std::enable_shared_from_this<State> {
  SPUUpdater* owner = nullptr;
  std::weak_ptr<SPUUpdaterDelegate> delegate;
  UpdaterEnvironment environment;
  dispatch::SequenceChecker sequence;

  enum class Start { NotYet, Started, Failed } start = Start::NotYet;
  bool automatic = false;
  std::chrono::milliseconds interval = kDefaultCheckInterval;
  uint64_t scheduleGeneration = 0;

  bool inProgress = false;
  std::thread worker;
  std::shared_ptr<process::Waker> cancel;

  void scheduleAutomaticCheck() {
    ++scheduleGeneration;
    if (!automatic || start != Start::Started) return;
    dispatch::mainQueue()->asyncAfter(
        interval, dispatch::weakly(shared_from_this(), [generation = scheduleGeneration](State& s) {
          if (generation != s.scheduleGeneration) return;
          s.beginCycle(SPUUpdateCheck::UpdatesInBackground);
        }));
  }

  void endAtOnce(SPUUpdateCheck check, UpdateErrorCode code, std::string description) {
    updaterLog().error("The update check ended: " + description);
    inProgress = true;
    // Later, as a real cycle would end, never inside the caller's call.
    UpdateCycleOutcome outcome{UpdateError{code, std::move(description)}, std::nullopt};
    dispatch::mainQueue()->async(dispatch::weakly(
        shared_from_this(), [check, outcome](State& s) { s.finishCycle(check, outcome); }));
  }

  std::optional<std::string> feedURL() {
    if (auto strong = delegate.lock(); strong && owner) {
      if (auto url = strong->feedURLString(*owner)) return url;
    }
    return bundle::Bundle(environment.hostBundlePath).infoString(kFeedURLKey);
  }

  void beginCycle(SPUUpdateCheck check) {
    PELLORA_DCHECK_SEQUENCE(sequence);
    if (inProgress) {
      updaterLog().info("An update cycle is already running; this check is left out");
      return;
    }
    if (start != Start::Started) {
      endAtOnce(check, UpdateErrorCode::NotStarted, "the updater is not started");
      return;
    }
    const auto url = feedURL();
    if (!url) {
      endAtOnce(check, UpdateErrorCode::InvalidFeed, "the bundle names no feed");
      return;
    }
    inProgress = true;
    if (worker.joinable()) worker.join();  // the last cycle's thread, already at its end
    cancel = std::make_shared<process::Waker>();
    UpdateCycleInput input{environment.hostBundlePath, *url, environment.temporaryDirectory,
                           environment.limits, environment.stageObserver};
    worker = std::thread([input = std::move(input), cancel = cancel,
                          weak = weak_from_this(), check] {
      UpdateCycleOutcome outcome = runUpdateCycle(input, *cancel);
      dispatch::mainQueue()->async([weak, check, outcome = std::move(outcome)] {
        if (auto s = weak.lock()) s->finishCycle(check, outcome);
      });
    });
  }

  void finishCycle(SPUUpdateCheck check, const UpdateCycleOutcome& outcome) {
    PELLORA_DCHECK_SEQUENCE(sequence);
    inProgress = false;
    scheduleAutomaticCheck();
    // Keeps this state alive while the hook or the delegate destroys the updater.
    const auto self = shared_from_this();
    if (outcome.installed) {
      if (environment.relaunch) {
        environment.relaunch(environment.hostBundlePath);
      } else if (!relaunchDetached(environment.hostBundlePath)) {
        updaterLog().error("The new version cannot be started from " + environment.hostBundlePath);
      }
    }
    if (!owner) return;
    if (auto strong = delegate.lock()) strong->didFinishUpdateCycleFor(*owner, check, outcome.error);
  }
};

SPUUpdater::SPUUpdater(std::weak_ptr<SPUUpdaterDelegate> delegate, UpdaterEnvironment environment)
    : state_(std::make_shared<State>()) {
  state_->owner = this;
  state_->delegate = std::move(delegate);
  state_->environment = std::move(environment);
  if (state_->environment.hostBundlePath.empty()) {
    if (const auto main = bundle::Bundle::main()) state_->environment.hostBundlePath = main->path();
  }
}

SPUUpdater::~SPUUpdater() {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  state_->owner = nullptr;
  ++state_->scheduleGeneration;
  if (state_->cancel) state_->cancel->wake();
  if (state_->worker.joinable()) state_->worker.join();
}

bool SPUUpdater::startUpdater() {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  State& s = *state_;
  if (s.start == State::Start::Started) return true;
  const std::string& path = s.environment.hostBundlePath;
  const bundle::Bundle bundle(path);
  if (path.empty() || bundle.infoDictionary().empty()) {
    updaterLog().error("Updates are off: the program has no bundle to update");
    s.start = State::Start::Failed;
    return false;
  }
  if (!isPublicKey(bundle.infoString(kPublicEDKeyKey).value_or(""))) {
    updaterLog().error(std::string("Updates are off: the bundle's ") + kPublicEDKeyKey +
                       " is not a valid Ed25519 public key");
    s.start = State::Start::Failed;
    return false;
  }
  s.start = State::Start::Started;
  s.scheduleAutomaticCheck();
  return true;
}

void SPUUpdater::checkForUpdatesInBackground() {
  state_->beginCycle(SPUUpdateCheck::UpdatesInBackground);
}

bool SPUUpdater::automaticallyChecksForUpdates() const {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  return state_->automatic;
}

void SPUUpdater::setAutomaticallyChecksForUpdates(bool enabled) {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  if (state_->automatic == enabled) return;
  state_->automatic = enabled;
  state_->scheduleAutomaticCheck();
}

std::chrono::milliseconds SPUUpdater::updateCheckInterval() const {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  return state_->interval;
}

void SPUUpdater::setUpdateCheckInterval(std::chrono::milliseconds interval) {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  state_->interval = interval;
  if (!state_->inProgress) state_->scheduleAutomaticCheck();
}

bool SPUUpdater::sessionInProgress() const {
  PELLORA_DCHECK_SEQUENCE(state_->sequence);
  return state_->inProgress;
}

const std::string& SPUUpdater::hostBundlePath() const { return state_->environment.hostBundlePath; }

}  // namespace platform::updater
