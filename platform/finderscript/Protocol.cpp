#include "finderscript/Protocol.h"

#include <cstdlib>

#include "paths/Paths.h"

namespace platform::finderscript {

std::string finderScriptingSocket() {
  if (const char* env = std::getenv("PELLORA_FINDER_SCRIPTING_SOCKET"); env && *env) return env;
  return paths::homeDirectory() + "/.pellora-finder/scripting.sock";
}

}  // namespace platform::finderscript

namespace platform::finderscript::message {

using nlohmann::json;

json folderAt(const std::string& path) { return json{{"folder", path}}; }

json propertyOf(const std::string& name, const json& object) {
  return json{{"property", name}, {"of", object}};
}

json get(uint64_t id, const json& object, const std::string& property) {
  return json{{"id", id}, {"op", "get"}, {"object", object}, {"property", property}};
}

json set(uint64_t id, const json& object, const std::string& property, const json& value) {
  return json{
      {"id", id}, {"op", "set"}, {"object", object}, {"property", property}, {"value", value}};
}

json consent(uint64_t id, const std::string& target, const std::string& eventClass,
             const std::string& eventID, bool ask) {
  return json{{"id", id},
              {"op", "consent"},
              {"target", target},
              {"eventClass", eventClass},
              {"eventID", eventID},
              {"ask", ask}};
}

json result(uint64_t id, const json& value) { return json{{"id", id}, {"result", value}}; }

json error(uint64_t id, int code, const std::string& text) {
  return json{{"id", id}, {"error", code}, {"message", text}};
}

json reference(const json& object, const std::string& className,
               const std::vector<std::string>& properties) {
  return json{{"ref", object}, {"class", className}, {"properties", properties}};
}

std::optional<Specifier> parseSpecifier(const json& object) {
  if (!object.is_object()) return std::nullopt;
  if (const auto folder = object.find("folder"); folder != object.end()) {
    if (!folder->is_string() || object.size() != 1) return std::nullopt;
    return Specifier{folder->get<std::string>(), {}, {}};
  }
  const auto property = object.find("property");
  const auto of = object.find("of");
  if (property == object.end() || !property->is_string() || of == object.end() ||
      !of->is_object()) {
    return std::nullopt;
  }
  return Specifier{std::nullopt, property->get<std::string>(), *of};
}

std::optional<uint64_t> id(const json& message) {
  if (!message.is_object()) return std::nullopt;
  const auto it = message.find("id");
  if (it == message.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<uint64_t>();
}

std::string text(const json& message, const char* key) {
  if (!message.is_object()) return {};
  const auto it = message.find(key);
  return it != message.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<bool> boolean(const json& message, const char* key) {
  if (!message.is_object()) return std::nullopt;
  const auto it = message.find(key);
  if (it == message.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::optional<int> integer(const json& message, const char* key) {
  if (!message.is_object()) return std::nullopt;
  const auto it = message.find(key);
  if (it == message.end() || !it->is_number_integer()) return std::nullopt;
  const auto value = it->get<int64_t>();
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

std::string encode(const json& message) {
  // Invalid UTF-8 in a path must not make dump() throw; it is replaced instead.
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace platform::finderscript::message
