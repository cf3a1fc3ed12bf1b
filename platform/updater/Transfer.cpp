#include "updater/Transfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace platform::updater {
namespace {

void initialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
  const process::Waker* cancel = nullptr;
  // Text transfers.
  std::string* text = nullptr;
  size_t maxBytes = 0;
  // File transfers.
  int fd = -1;
  uint64_t expected = 0;
  uint64_t received = 0;
  std::string failure;
  bool tooLong = false;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  sink->received += bytes;
  if (sink->text) {
    if (sink->received > sink->maxBytes) {
      sink->failure = "the feed is larger than " + std::to_string(sink->maxBytes) + " bytes";
      return 0;
    }
    sink->text->append(data, bytes);
    return bytes;
  }
  if (sink->received > sink->expected) {
    sink->tooLong = true;
    sink->failure = "the archive is longer than its stated length of " +
                    std::to_string(sink->expected) + " bytes";
    return 0;
  }
  size_t written = 0;
  while (written < bytes) {
    const ssize_t n = ::write(sink->fd, data + written, bytes - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->failure = std::string("the archive cannot be written: ") + std::strerror(errno);
      return 0;
    }
    written += static_cast<size_t>(n);
  }
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* sink = static_cast<Sink*>(user);
  return sink->cancel->woken() ? 1 : 0;
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

TransferResult perform(const std::string& url, const char* protocols, Sink& sink,
                       const TransferLimits& limits, bool wholeTimeout) {
  initialiseCurl();
  TransferResult result;
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) {
    result.error = "the transfer cannot be set up";
    return result;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
  if (wholeTimeout) {
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.feedTimeout.count()));
  } else {
    // Less than one byte a second for the stall time counts as stalled.
    const long stallSeconds =
        std::max<long>(1, static_cast<long>((limits.stallTimeout.count() + 999) / 1000));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  const CURLcode code = curl_easy_perform(h);
  if (code == CURLE_OK) {
    result.ok = true;
    return result;
  }
  if (code == CURLE_ABORTED_BY_CALLBACK) {
    result.error = "cancelled";
  } else if (!sink.failure.empty()) {
    result.error = sink.failure;
  } else {
    result.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
  }
  return result;
}

}  // namespace

TransferResult fetchText(const std::string& url, const TransferLimits& limits,
                         const process::Waker& cancel) {
  std::string text;
  Sink sink;
  sink.cancel = &cancel;
  sink.text = &text;
  sink.maxBytes = limits.maxFeedBytes;
  TransferResult result = perform(url, "http,https,file", sink, limits, true);
  if (result.ok) result.text = std::move(text);
  return result;
}

TransferResult downloadFile(const std::string& url, const std::string& path,
                            uint64_t expectedLength, bool allowFile,
                            const TransferLimits& limits, const process::Waker& cancel) {
  Sink sink;
  sink.cancel = &cancel;
  sink.expected = expectedLength;
  sink.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (sink.fd < 0) {
    return {false, std::string("the archive cannot be created: ") + std::strerror(errno), false, {}};
  }
  TransferResult result =
      perform(url, allowFile ? "http,https,file" : "http,https", sink, limits, false);
  if (::close(sink.fd) != 0 && result.ok) {
    result = {false, std::string("the archive cannot be written: ") + std::strerror(errno), false, {}};
  }
  if (result.ok && sink.received != expectedLength) {
    result = {false,
              "the archive has " + std::to_string(sink.received) + " bytes instead of its stated " +
                  std::to_string(expectedLength),
              true, {}};
  }
  if (sink.tooLong) result.wrongLength = true;
  return result;
}

}  // namespace platform::updater
