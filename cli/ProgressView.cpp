#include "ProgressView.h"

#include <cmath>
#include <cstdio>

#include "text/Format.h"

namespace pellora::cli {
namespace {

constexpr size_t kBarCells = 20;
constexpr const char* kEllipsis = "\u2026";

bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first n code points of text.
std::string firstColumns(std::string_view text, size_t n) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (continuation(text[i])) continue;
    if (seen == n) return std::string(text.substr(0, i));
    ++seen;
  }
  return std::string(text);
}

}  // namespace

size_t columns(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += continuation(c) ? 0 : 1;
  return n;
}

std::string lastColumns(std::string_view text, size_t n) {
  const size_t total = columns(text);
  if (total <= n) return std::string(text);
  if (n == 0) return "";
  // Room for the ellipsis, then the tail.
  size_t skip = total - (n - 1);
  size_t i = 0;
  for (; i < text.size(); ++i) {
    if (continuation(text[i])) continue;
    if (skip == 0) break;
    --skip;
  }
  return kEllipsis + std::string(text.substr(i));
}

std::string formatDuration(double seconds) {
  if (seconds < 0 || !std::isfinite(seconds)) return "--:--";
  const auto total = static_cast<uint64_t>(std::llround(seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(total / 3600),
                  static_cast<unsigned long long>(total / 60 % 60), static_cast<unsigned long long>(total % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(total / 60),
                  static_cast<unsigned long long>(total % 60));
  }
  return text;
}

double secondsLeft(const ProgressState& s) {
  const double elapsed = s.elapsed.count();
  if (s.filesTotal > 0 && s.filesDone >= s.filesTotal) return 0;
  if (elapsed <= 0) return -1;
  if (s.bytesDone > 0 && s.bytesTotal >= s.bytesDone) {
    return static_cast<double>(s.bytesTotal - s.bytesDone) / (static_cast<double>(s.bytesDone) / elapsed);
  }
  if (s.filesDone > 0 && s.filesTotal >= s.filesDone) {
    return static_cast<double>(s.filesTotal - s.filesDone) * elapsed / static_cast<double>(s.filesDone);
  }
  return -1;
}

std::string renderBar(const ProgressState& s, size_t width) {
  const double fraction = s.filesTotal == 0 ? 1.0 : static_cast<double>(s.filesDone) / static_cast<double>(s.filesTotal);
  const auto filled = static_cast<size_t>(std::floor(std::min(1.0, fraction) * kBarCells));
  std::string line = "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "]";
  line += "  " + std::to_string(s.filesDone) + "/" + std::to_string(s.filesTotal) + " files";
  if (s.bytesTotal > 0) {
    line += "  " + platform::text::byteCount(s.bytesDone) + " of " + platform::text::byteCount(s.bytesTotal);
    if (s.elapsed.count() > 0 && s.bytesDone > 0) {
      const auto rate = static_cast<uint64_t>(static_cast<double>(s.bytesDone) / s.elapsed.count());
      line += "  " + platform::text::byteCount(rate) + "/s";
    }
  }
  line += s.canceling ? "  canceling after this file" : "  " + formatDuration(secondsLeft(s)) + " left";
  if (columns(line) >= width) return firstColumns(line, width);
  // The file takes what is left, its name's end kept.
  constexpr size_t kGap = 2;
  const size_t room = width - columns(line);
  if (!s.currentFile.empty() && room > kGap + 3) line += "  " + lastColumns(s.currentFile, room - kGap);
  return line;
}

std::string renderFileLine(size_t number, size_t total, FileOutcome outcome, const std::string& path,
                           const std::string& reason) {
  std::string line = "[" + std::to_string(number) + "/" + std::to_string(total) + "] ";
  switch (outcome) {
    case FileOutcome::BroughtOnline:
      return line + "brought online: " + path;
    case FileOutcome::AlreadyOnline:
      return line + "already online: " + path;
    case FileOutcome::Failed:
      return line + "failed: " + path + ": " + reason;
  }
  return line;
}

}  // namespace pellora::cli
