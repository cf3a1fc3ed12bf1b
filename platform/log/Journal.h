// How a record becomes a journal entry: MESSAGE, PRIORITY (3 for errors, 5 otherwise) and, for
// records of a Log handle, the handle's subsystem and category as LOG_SUBSYSTEM and
// LOG_CATEGORY. Every value comes from the record; the field names are the platform's own.
//
// Entries reach the journal through its native protocol, written here rather than through
// libsystemd, whose dependencies (compression and crypto libraries) would be most of what the
// extension's process maps: one datagram per entry to the journal's socket; an entry too big
// for a datagram goes as a sealed memory file whose descriptor the datagram carries.
#pragma once

#include <string>
#include <vector>

#include "log/Log.h"

namespace platform::log {

// "NAME=value" strings, in the order above.
std::vector<std::string> journalFields(const Record& record);

// The fields as one entry of the native protocol: "NAME=value\n" for a value without a line
// break, else "NAME\n", the value's length as 64-bit little endian, the value and "\n".
std::string journalEntry(const std::vector<std::string>& fields);

class JournalWriter {
 public:
  static constexpr const char* kSocketPath = "/run/systemd/journal/socket";

  explicit JournalWriter(std::string socketPath = kSocketPath);
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Any thread. False when the journal did not take the entry (no socket, nobody listening, its
  // queue full): the caller writes the record elsewhere. Never waits for the journal.
  bool write(const Record& record) const;

 private:
  bool sendInMemoryFile(const std::string& entry) const;

  const std::string path_;
  const int fd_;
};

}  // namespace platform::log
