// The product's logger for shared and application code: one unified-log record per call, in
// the form  ZAVRO_LOG[ ZV_DOWNLOAD_LOG][HH:mm:ss.SSS]: "message[ arg]". <Tag>, File (line)
#pragma once

#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "log/Log.h"

enum class StringTag { Launcher, Service, FinderExt };

std::string_view rawValue(StringTag tag);

class CLog {
 public:
  CLog() = delete;

  static void pExp(const std::string& message, const std::optional<std::string>& arg,
                   StringTag logTags, bool userLog, int line, std::string_view file,
                   std::string_view strFunc);
  // printf-style with "%@" placeholders; an absent argument prints "nil".
  static void f(std::string_view format, const std::vector<std::optional<std::string>>& args,
                StringTag logTags, bool userLog, int line, std::string_view file,
                std::string_view strFunc);

  // The file's last path component without its extension; "-" when the path has none.
  static std::string shortFileName(std::string_view path);

  // The whole line, as pExp emits it, for a given time of day text.
  static std::string buildLine(const std::string& message, const std::optional<std::string>& arg,
                               StringTag logTags, bool userLog, int line, std::string_view file,
                               const std::string& time);

  static const platform::log::Log& osLog();
  static const std::string& userLogTokenID();
  // The current time of day as "HH:mm:ss.SSS" (24-hour clock, local time zone).
  static std::string formattedNow();

  // Renders any value the way string interpolation would: texts as they are.
  template <class T>
  static std::string render(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
      return std::string(std::string_view(value));
    } else if constexpr (std::is_same_v<T, bool>) {
      return value ? "true" : "false";
    } else {
      std::ostringstream out;
      out << value;
      return out.str();
    }
  }
  template <class T>
  static std::string render(const std::optional<T>& value) {
    return value ? render(*value) : std::string("nil");
  }
};

// Call-site macros: they capture file, line and function where the call is written.
#define CLOG(tag, message) \
  CLog::pExp(CLog::render(message), std::nullopt, tag, false, __LINE__, __FILE__, __func__)
#define CLOG_ARG(tag, message, arg)                                                        \
  CLog::pExp(CLog::render(message), CLog::render(arg), tag, false, __LINE__, __FILE__, \
             __func__)
#define CLOG_USER(tag, message) \
  CLog::pExp(CLog::render(message), std::nullopt, tag, true, __LINE__, __FILE__, __func__)
#define CLOGF(tag, format, ...) \
  CLog::f(format, {__VA_ARGS__}, tag, false, __LINE__, __FILE__, __func__)
#define CLOGF_USER(tag, format, ...) \
  CLog::f(format, {__VA_ARGS__}, tag, true, __LINE__, __FILE__, __func__)
