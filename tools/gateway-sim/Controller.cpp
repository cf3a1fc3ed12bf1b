#include "Controller.h"

#include <charconv>
#include <optional>

namespace pellora::gatewaysim {
namespace {

std::string_view trim(std::string_view s) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the first word.
std::pair<std::string_view, std::string_view> firstWord(std::string_view s) {
  s = trim(s);
  const size_t space = s.find_first_of(" \t");
  if (space == std::string_view::npos) return {s, {}};
  return {s.substr(0, space), trim(s.substr(space))};
}

// Splits off the last word.
std::pair<std::string_view, std::string_view> lastWord(std::string_view s) {
  s = trim(s);
  const size_t space = s.find_last_of(" \t");
  if (space == std::string_view::npos) return {{}, s};
  return {trim(s.substr(0, space)), s.substr(space + 1)};
}

std::optional<long> number(std::string_view s) {
  long value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || value < 0) return std::nullopt;
  return value;
}

std::string error(const std::string& why) { return "error: " + why; }

}  // namespace

std::string Controller::execute(std::string_view line) {
  const auto [command, args] = firstWord(line);
  if (command == "ping" && args.empty()) return "pong";
  if (command == "counters" && args.empty()) return counters_.toJson().dump();
  if (command == "reset" && args.empty()) {
    counters_.reset();
    return "ok";
  }
  if (command == "clear" && args.empty()) {
    faults_.clear();
    return "ok";
  }
  if (command == "latency" || command == "slow") {
    const auto ms = number(args);
    if (!ms) return error("usage: " + std::string(command) + " MS");
    const Faults::Millis value{*ms};
    command == "latency" ? faults_.setLatency(value) : faults_.setSlow(value);
    return "ok";
  }
  if (command == "unreadable") {
    if (args.empty()) return error("usage: unreadable REL");
    faults_.unreadable(args);
    return "ok";
  }
  if (command == "deny") {
    if (args.empty()) return error("usage: deny REL");
    faults_.deny(args);
    return "ok";
  }
  if (command == "fail") {
    const auto [rel, digitText] = lastWord(args);
    const auto digit = number(digitText);
    if (rel.empty() || !digit || *digit > 9) return error("usage: fail REL DIGIT (0-9)");
    faults_.fail(rel, static_cast<int>(*digit));
    return "ok";
  }
  if (command == "outage") {
    const auto [rel, name] = lastWord(args);
    const int err = errnoFromName(std::string(name));
    if (rel.empty() || err == 0) return error("usage: outage REL ETIMEDOUT|EHOSTDOWN");
    faults_.outage(rel, err);
    return "ok";
  }
  if (command.empty()) return error("empty command");
  return error("unknown command: " + std::string(trim(line)));
}

}  // namespace pellora::gatewaysim
