#include "log/Log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace platform::log {
namespace {

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return {};
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(size));
  return out;
}

}  // namespace

Log::Log(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Log::write(Level level, std::string_view message) const {
  emit(Record{subsystem_, category_, level, std::string(message)});
}

void Log::infof(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  const std::string message = vformat(format, args);
  va_end(args);
  write(Level::Default, message);
}

void Log::errorf(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  const std::string message = vformat(format, args);
  va_end(args);
  write(Level::Error, message);
}

void classic(std::string_view line) { emit(Record{"", "", Level::Default, std::string(line)}); }

void classicf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = vformat(format, args);
  va_end(args);
  classic(message);
}

}  // namespace platform::log
