// The platform's unified log: a handle per (subsystem, category), two levels, every record
// public. Records go to the systemd journal when its socket exists, otherwise to stderr, and to
// every installed capture (tests).
#pragma once

#include <string>
#include <string_view>

namespace platform::log {

enum class Level { Default, Error };

struct Record {
  std::string subsystem;
  std::string category;
  Level level = Level::Default;
  std::string message;
};

class Log {
 public:
  Log(std::string subsystem, std::string category);

  void write(Level level, std::string_view message) const;
  void info(std::string_view message) const { write(Level::Default, message); }
  void error(std::string_view message) const { write(Level::Error, message); }

  // printf-style entries for the system's fixed log texts ("Monitoring path:%s").
  void infof(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void errorf(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  std::string subsystem_;
  std::string category_;
};

// The classic system logging call: one plain line, no subsystem or category.
void classic(std::string_view line);
// The classic call with a printf-style format.
void classicf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Delivers one record to the process sinks (journal or stderr) and to the captures.
void emit(const Record& record);

// For a program whose own output is the terminal (the command line): records that would go to
// stderr are dropped instead; the journal, the captures and PELLORA_LOG=stderr still get them.
// Call before the first record.
void keepOffStderr();

}  // namespace platform::log
