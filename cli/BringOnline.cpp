#include "BringOnline.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "DownloadFileProcess/FileQueueManager.h"
#include "Localization.h"
#include "ProgressView.h"
#include "StubCount.h"
#include "ZVFileManager.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"
#include "process/StopSignals.h"
#include "text/Format.h"

namespace pellora::cli {
namespace {

namespace dispatch = platform::dispatch;
using Clock = std::chrono::steady_clock;
using State = AttrManager::DownloadState;

// Long enough for any batch; the run ends by its own conditions.
constexpr std::chrono::milliseconds kForever = std::chrono::hours(24 * 365);
constexpr auto kRedrawInterval = std::chrono::milliseconds(500);

struct Failure {
  std::string path;
  std::string reason;
};

// One bring-online run, on the main thread.
class Run {
 public:
  explicit Run(const BringOnlineOutput& output) : output_(output) {}

  ExitStatus start(const std::vector<std::string>& paths) {
    const auto loop = dispatch::RunLoop::main();
    // While it lives, SIGINT and SIGTERM come here instead of ending the program; after the
    // first one it goes, so that the next ends the program at once, whatever it waits for.
    signals_ = std::make_shared<std::unique_ptr<platform::process::StopSignals>>();
    *signals_ = std::make_unique<platform::process::StopSignals>(
        dispatch::mainQueue(), [this, weak = std::weak_ptr(signals_)](int) {
          stopRequested();
          dispatch::mainQueue()->async([weak] {
            if (const auto signals = weak.lock()) signals->reset();
          });
        });
    if (output_.terminal) status(localizedString("preparing_files_for_download"));

    // The selection's files, and what each of them is. Work that ends after a cancel finds
    // its results' place still there.
    struct Found {
      std::optional<FileList> files;
      std::optional<ZVError> error;
      std::optional<std::vector<FileFacts>> facts;
    };
    const auto found = std::make_shared<Found>();
    const auto manager = std::make_shared<ZVFileManager>();
    manager->fileAggregation(paths, [found](FileList urls, std::optional<ZVError> error) {
      found->files = std::move(urls);
      found->error = std::move(error);
    });
    loop->runUntil([&] { return found->files.has_value() || canceled_; }, kForever);
    if (canceled_) return finishCanceledEarly();
    if (found->error) {
      clearStatus();
      std::fprintf(output_.err, "pellora: %s\n", found->error->localizedDescription.c_str());
      return kExitFailed;
    }
    files_ = std::move(*found->files);
    dispatch::globalQueue(dispatch::QoS::UserInitiated)->async([found, list = files_] {
      auto facts = factsOf(list);
      dispatch::mainQueue()->async([found, facts = std::move(facts)]() mutable { found->facts = std::move(facts); });
    });
    loop->runUntil([&] { return found->facts.has_value() || canceled_; }, kForever);
    if (canceled_) return finishCanceledEarly();
    facts_ = std::move(*found->facts);

    progress_.filesTotal = files_.size();
    for (const auto& f : facts_) progress_.bytesTotal += f.stub ? f.size : 0;
    const StubTally counts = tally(facts_);
    clearStatus();
    std::fprintf(output_.out, "%zu files: %s\n", files_.size(), describe(counts).c_str());
    std::fflush(output_.out);

    // The queue: no pause after the summary, the program ends instead.
    queue_ = FileQueueManager::create({Clock::duration::zero(), Clock::duration::zero()});
    queue_->setFileHandler([this](const FileQueueManager::FileResult& result) { fileDone(result); });
    started_ = Clock::now();
    if (!files_.empty()) progress_.currentFile = files_[0];
    redraw();
    const auto timer = output_.terminal ? loop->addTimer(kRedrawInterval, kRedrawInterval, [this] { redraw(); }) : 0;
    bool finished = false;
    queue_->streamFiles(files_, nullptr, [this, &finished](std::optional<std::string> summary, bool done) {
      if (summary) summary_ = *summary;
      if (done) finished = true;
    });
    loop->runUntil([&] { return finished; }, kForever);
    if (timer) loop->removeTimer(timer);
    const FileQueueManager::Status status = queue_->status();
    // A file the reader began before the cancel is waited for here.
    queue_.reset();
    clearStatus();
    return report(status);
  }

 private:
  void stopRequested() {
    if (canceled_) return;
    canceled_ = true;
    if (!queue_) return;
    queue_->cancel();
    progress_.canceling = true;
    redraw();
    if (!output_.terminal) {
      std::fprintf(output_.out, "canceling after the current file\n");
      std::fflush(output_.out);
    }
  }

  void fileDone(const FileQueueManager::FileResult& result) {
    const size_t index = progress_.filesDone++;
    // The queue works through the list in order; the facts belong to the same path.
    const bool matches = index < files_.size() && files_[index] == result.path;
    if (matches && result.state == State::success && facts_[index].stub) progress_.bytesDone += facts_[index].size;
    progress_.currentFile = !progress_.canceling && index + 1 < files_.size() ? files_[index + 1] : "";
    const std::string reason = result.failed ? localizedString(AttrManager::caseName(result.state)) : "";
    if (result.failed) failures_.push_back({result.path, reason});
    if (output_.terminal) return redraw();
    const FileOutcome outcome = result.failed                      ? FileOutcome::Failed
                                : result.state == State::isNotStub ? FileOutcome::AlreadyOnline
                                                                   : FileOutcome::BroughtOnline;
    std::fprintf(output_.out, "%s\n",
                 renderFileLine(progress_.filesDone, progress_.filesTotal, outcome, result.path, reason).c_str());
    std::fflush(output_.out);
  }

  void redraw() {
    if (!output_.terminal || !queue_) return;
    progress_.elapsed = Clock::now() - started_;
    status(renderBar(progress_, output_.width));
  }

  // The line under the cursor replaced by text.
  void status(const std::string& text) {
    std::fprintf(output_.out, "\r\x1b[K%s", text.c_str());
    std::fflush(output_.out);
    statusShown_ = true;
  }
  void clearStatus() {
    if (!statusShown_) return;
    std::fprintf(output_.out, "\r\x1b[K");
    std::fflush(output_.out);
    statusShown_ = false;
  }

  ExitStatus finishCanceledEarly() {
    clearStatus();
    std::fprintf(output_.out, "%s\n", localizedString("no_files_added_to_queue").c_str());
    return kExitCanceled;
  }

  ExitStatus report(const FileQueueManager::Status& status) {
    // After a cancel the window says nothing was added; what was done is told here.
    const std::string summary = status.canceled ? status.localizedSummary() : summary_;
    std::fprintf(output_.out, "%s\n", summary.c_str());
    if (status.canceled) {
      std::fprintf(output_.out, "Canceled: %zu of %zu files were not started.\n",
                   progress_.filesTotal - progress_.filesDone, progress_.filesTotal);
    }
    if (!failures_.empty()) {
      std::fprintf(output_.out, "Failed:\n");
      for (const auto& failure : failures_) {
        std::fprintf(output_.out, "  %s: %s\n", failure.path.c_str(), failure.reason.c_str());
      }
    }
    std::fflush(output_.out);
    if (status.canceled) return kExitCanceled;
    return failures_.empty() ? kExitOk : kExitFailed;
  }

  const BringOnlineOutput output_;
  FileList files_;
  std::vector<FileFacts> facts_;
  std::shared_ptr<FileQueueManager> queue_;
  ProgressState progress_;
  Clock::time_point started_;
  std::string summary_;
  std::vector<Failure> failures_;
  bool canceled_ = false;
  bool statusShown_ = false;
  std::shared_ptr<std::unique_ptr<platform::process::StopSignals>> signals_;
};

}  // namespace

ExitStatus bringOnline(const std::vector<std::string>& paths, const BringOnlineOutput& output) {
  return Run(output).start(paths);
}

}  // namespace pellora::cli
