#include "CLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "text/Format.h"

std::string_view rawValue(StringTag tag) {
  switch (tag) {
    case StringTag::Launcher:
      return "Launcher";
    case StringTag::Service:
      return "Service";
    case StringTag::FinderExt:
      return "FinderExt";
  }
  return "Service";
}

const platform::log::Log& CLog::osLog() {
  static const platform::log::Log log("com.zavro.Pellora", "CLog");
  return log;
}

const std::string& CLog::userLogTokenID() {
  static const std::string token = "ZV_DOWNLOAD_LOG";
  return token;
}

std::string CLog::formattedNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  return text;
}

std::string CLog::shortFileName(std::string_view path) {
  std::string_view last;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) last = path.substr(start, end - start);
    start = end + 1;
  }
  if (last.empty()) return "-";
  // Drop the source file's extension; a leading dot is a name, not an extension.
  const size_t dot = last.rfind('.');
  if (dot != std::string_view::npos && dot > 0) last = last.substr(0, dot);
  return std::string(last);
}

std::string CLog::buildLine(const std::string& message, const std::optional<std::string>& arg,
                            StringTag logTags, bool userLog, int line, std::string_view file,
                            const std::string& time) {
  std::string out = "ZAVRO_LOG";
  if (userLog) out += " " + userLogTokenID();
  out += "[" + time + "]";
  out += ": \"";
  out += message;
  if (arg) out += " " + *arg;
  out += "\". <";
  out += rawValue(logTags);
  out += ">, ";
  out += shortFileName(file);
  out += " (" + std::to_string(line) + ")";
  return out;
}

void CLog::pExp(const std::string& message, const std::optional<std::string>& arg,
                StringTag logTags, bool userLog, int line, std::string_view file,
                std::string_view /*strFunc: accepted, not printed*/) {
  osLog().info(buildLine(message, arg, logTags, userLog, line, file, formattedNow()));
}

void CLog::f(std::string_view format, const std::vector<std::optional<std::string>>& args,
             StringTag logTags, bool userLog, int line, std::string_view file,
             std::string_view strFunc) {
  std::vector<std::string> texts;
  texts.reserve(args.size());
  for (const auto& a : args) texts.push_back(a.value_or("nil"));
  pExp(platform::text::format(format, texts), std::nullopt, logTags, userLog, line, file, strFunc);
}
