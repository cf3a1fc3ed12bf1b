#include "TerminatedRead.h"

TerminatedRead scanTerminatedRead(std::string_view buffered, std::string_view terminator,
                                  size_t maxLength, size_t from) {
  TerminatedRead result;
  if (terminator.empty()) return result;
  const size_t at = buffered.find(terminator, from > buffered.size() ? buffered.size() : from);
  if (at != std::string_view::npos) {
    const size_t length = at + terminator.size();
    if (maxLength > 0 && length > maxLength) {
      result.status = TerminatedRead::Status::MaxedOut;
      return result;
    }
    result.status = TerminatedRead::Status::Complete;
    result.length = length;
    return result;
  }
  // No terminator: one that completes later still fits only while the bytes so far leave room.
  if (maxLength > 0 && buffered.size() >= maxLength) {
    result.status = TerminatedRead::Status::MaxedOut;
    return result;
  }
  // A terminator split across the end of the bytes so far starts in its last size()-1 bytes.
  const size_t overlap = terminator.size() - 1;
  result.resumeAt = buffered.size() > overlap ? buffered.size() - overlap : 0;
  return result;
}
