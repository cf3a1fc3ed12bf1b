// What `pellora bring-online` shows while the queue works: on a terminal one bar line, redrawn
// after each file (files done of total, bytes, rate, time left, the file being brought online);
// otherwise one plain line per file done. Rendering only: the lines for a given state.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pellora::cli {

struct ProgressState {
  size_t filesDone = 0;
  size_t filesTotal = 0;
  // Of the stubs: what bringing them online downloads.
  uint64_t bytesDone = 0;
  uint64_t bytesTotal = 0;
  // The file the gateway is bringing online now; empty when none.
  std::string currentFile;
  std::chrono::duration<double> elapsed{0};
  // Ctrl-C came: the current file is the last.
  bool canceling = false;
};

// "1:05", "12:34", "1:02:03"; "--:--" for a time not known (negative).
std::string formatDuration(double seconds);

// Seconds left by the pace so far (bytes when any came, else files); negative when not known.
double secondsLeft(const ProgressState& state);

// One line of at most width columns (code points), without a line break:
//   [########------------]  12/40 files  3.1 MB of 12.0 MB  1.2 MB/s  0:08 left  …/docs/a.pdf
std::string renderBar(const ProgressState& state, size_t width);

enum class FileOutcome { BroughtOnline, AlreadyOnline, Failed };

// "[3/40] brought online: PATH", "[4/40] already online: PATH", "[5/40] failed: PATH: reason".
std::string renderFileLine(size_t number, size_t total, FileOutcome outcome, const std::string& path,
                           const std::string& reason);

// The number of code points of UTF-8 text: the columns it takes, for the scripts shown here.
size_t columns(std::string_view text);
// The last columns code points of text, after "…" when some had to go.
std::string lastColumns(std::string_view text, size_t columns);

}  // namespace pellora::cli
