#include "GLibLoop.h"

#include <glib-unix.h>
#include <glib.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace pellora::host {

namespace {

guint milliseconds(HostLoop::Clock::duration d) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return ms <= 0 ? 0 : static_cast<guint>(std::min<long long>(ms, G_MAXUINT));
}

}  // namespace

// Shared by the loop and every poster; outlives the loop when a poster keeps it.
struct GLibLoop::Posted {
  explicit Posted(GMainContext* c) : context(g_main_context_ref(c)) {}
  ~Posted() { g_main_context_unref(context); }

  void push(Work w) {
    {
      std::lock_guard lock(mutex);
      if (!open) return;
      work.push_back(std::move(w));
    }
    ready.notify_all();
    g_main_context_wakeup(context);
  }
  bool pending() {
    std::lock_guard lock(mutex);
    return !work.empty();
  }

  GMainContext* const context;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Work> work;
  bool open = true;
};

struct GLibLoop::Timer {
  ~Timer() {
    g_source_destroy(source);
    g_source_unref(source);
  }
  GSource* source = nullptr;
  Clock::duration interval{};
  // The first delay differs from the interval: the source is replaced after the first firing.
  bool rearm = false;
  std::shared_ptr<Work> callback;
};

struct GLibLoop::Watch {
  ~Watch() {
    g_source_destroy(source);
    g_source_unref(source);
  }
  GSource* source = nullptr;
  std::shared_ptr<std::function<void(short)>> callback;
};

namespace {

struct PostedSource {
  GSource base;
  GLibLoop* loop;
  std::shared_ptr<GLibLoop::Posted>* posted;
};

struct SourceRef {
  GLibLoop* loop;
  uint64_t id;
};

void deleteRef(gpointer p) { delete static_cast<SourceRef*>(p); }

GSource* attachTimeout(GMainContext* context, HostLoop::Clock::duration delay, GSourceFunc fire,
                       SourceRef* ref) {
  GSource* source = g_timeout_source_new(milliseconds(delay));
  g_source_set_callback(source, fire, ref, deleteRef);
  g_source_attach(source, context);
  return source;
}

}  // namespace

GLibLoop::GLibLoop(GMainContext* context)
    : context_(context ? context : g_main_context_default()),
      thread_(std::this_thread::get_id()),
      posted_(std::make_shared<Posted>(context_)) {
  static GSourceFuncs funcs = {
      // prepare: ready when work is queued, else no timeout of its own
      [](GSource* s, gint* timeout) -> gboolean {
        *timeout = -1;
        return (*reinterpret_cast<PostedSource*>(s)->posted)->pending();
      },
      [](GSource* s) -> gboolean { return (*reinterpret_cast<PostedSource*>(s)->posted)->pending(); },
      [](GSource* s, GSourceFunc, gpointer) -> gboolean {
        reinterpret_cast<PostedSource*>(s)->loop->runPosted();
        return G_SOURCE_CONTINUE;
      },
      [](GSource* s) { delete reinterpret_cast<PostedSource*>(s)->posted; },
      nullptr,
      nullptr,
  };
  postedSource_ = g_source_new(&funcs, sizeof(PostedSource));
  auto* ps = reinterpret_cast<PostedSource*>(postedSource_);
  ps->loop = this;
  ps->posted = new std::shared_ptr<Posted>(posted_);
  g_source_set_name(postedSource_, "pellora host loop");
  g_source_attach(postedSource_, context_);
}

GLibLoop::~GLibLoop() {
  {
    std::lock_guard lock(posted_->mutex);
    posted_->open = false;
    posted_->work.clear();
  }
  timers_.clear();
  watches_.clear();
  g_source_destroy(postedSource_);
  g_source_unref(postedSource_);
}

void GLibLoop::post(Work work) { posted_->push(std::move(work)); }

std::function<void(HostLoop::Work)> GLibLoop::poster() {
  return [posted = posted_](Work work) { posted->push(std::move(work)); };
}

bool GLibLoop::runPosted() {
  std::deque<Work> batch;
  {
    std::lock_guard lock(posted_->mutex);
    batch.swap(posted_->work);
  }
  for (auto& w : batch) w();
  return !batch.empty();
}

HostLoop::TimerId GLibLoop::addTimer(Clock::duration delay, Clock::duration interval,
                                     Work callback) {
  const TimerId id = nextId_++;
  auto timer = std::make_unique<Timer>();
  timer->interval = interval;
  timer->rearm = interval != Clock::duration::zero() && milliseconds(interval) != milliseconds(delay);
  timer->callback = std::make_shared<Work>(std::move(callback));
  // The callback may remove its own timer (or others): each firing looks the timer up again.
  static const GSourceFunc fire = [](gpointer p) -> gboolean {
    auto* ref = static_cast<SourceRef*>(p);
    GLibLoop& loop = *ref->loop;
    const auto it = loop.timers_.find(ref->id);
    if (it == loop.timers_.end()) return G_SOURCE_REMOVE;
    const std::shared_ptr<Work> callback = it->second->callback;
    gboolean keep = G_SOURCE_CONTINUE;
    if (it->second->interval == Clock::duration::zero()) {
      loop.timers_.erase(it);
      keep = G_SOURCE_REMOVE;
    } else if (it->second->rearm) {
      Timer& t = *it->second;
      g_source_unref(t.source);
      t.source = attachTimeout(loop.context_, t.interval, fire, new SourceRef{&loop, ref->id});
      t.rearm = false;
      keep = G_SOURCE_REMOVE;
    }
    (*callback)();
    return keep;
  };
  timer->source = attachTimeout(context_, delay, fire, new SourceRef{this, id});
  timers_[id] = std::move(timer);
  return id;
}

void GLibLoop::removeTimer(TimerId id) { timers_.erase(id); }

HostLoop::WatchId GLibLoop::addWatch(int fd, short events, std::function<void(short)> callback) {
  const WatchId id = nextId_++;
  auto watch = std::make_unique<Watch>();
  watch->callback = std::make_shared<std::function<void(short)>>(std::move(callback));
  // GLib's conditions are poll()'s bits.
  watch->source = g_unix_fd_source_new(fd, static_cast<GIOCondition>(events));
  const GUnixFDSourceFunc ready = [](gint, GIOCondition condition, gpointer p) -> gboolean {
    auto* ref = static_cast<SourceRef*>(p);
    const auto it = ref->loop->watches_.find(ref->id);
    if (it == ref->loop->watches_.end()) return G_SOURCE_REMOVE;
    const auto callback = it->second->callback;
    (*callback)(static_cast<short>(condition));
    return G_SOURCE_CONTINUE;
  };
  g_source_set_callback(watch->source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(ready)),
                        new SourceRef{this, id}, deleteRef);
  g_source_attach(watch->source, context_);
  watches_[id] = std::move(watch);
  return id;
}

void GLibLoop::removeWatch(WatchId id) { watches_.erase(id); }

bool GLibLoop::servePostedUntil(const std::function<bool()>& done, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (runPosted()) continue;
    std::unique_lock lock(posted_->mutex);
    if (!posted_->ready.wait_until(lock, deadline, [&] { return !posted_->work.empty(); })) {
      lock.unlock();
      return done();
    }
  }
  return true;
}

bool GLibLoop::isLoopThread() const { return std::this_thread::get_id() == thread_; }

}  // namespace pellora::host
