// The framing under GCDAsyncSocket's reads, apart from the socket so that it can be checked on
// any bytes: a read completes with every byte up to and including its terminator, and fails
// once it would be longer than its maximum length.
#pragma once

#include <cstddef>
#include <string_view>

struct TerminatedRead {
  enum class Status { NeedMore, Complete, MaxedOut };
  Status status = Status::NeedMore;
  // Complete: the read's length, terminator included.
  size_t length = 0;
  // NeedMore: where the next scan of the same bytes (and more) may begin.
  size_t resumeAt = 0;
};

// Scans buffered from `from` (an earlier resumeAt) for terminator. maxLength 0 means no limit;
// otherwise a read longer than maxLength (terminator included) is MaxedOut.
TerminatedRead scanTerminatedRead(std::string_view buffered, std::string_view terminator,
                                  size_t maxLength, size_t from = 0);
