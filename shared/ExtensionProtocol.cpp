#include "ExtensionProtocol.h"

namespace pellora::protocol {

using nlohmann::json;

namespace {

json withValue(const char* command, json value) {
  return json{{kCommand, command}, {kValue, std::move(value)}};
}

}  // namespace

json setFileIcons(const std::map<std::string, std::string>& badges) {
  json value = json::object();
  for (const auto& [path, badge] : badges) value[path] = badge;
  return withValue(kSetFileIcons, std::move(value));
}

json setFilterPaths(const std::vector<std::string>& roots) {
  return withValue(kSetFilterPaths, roots);
}

json registerIconWithId(const std::string& imagePath, const std::string& label,
                        const std::string& iconId) {
  return withValue(kRegisterIconWithId, {{kPath, imagePath}, {kLabel, label}, {kIconId, iconId}});
}

json getFileIconId(const std::string& path) { return withValue(kGetFileIconId, path); }

json openedDir(const std::string& folderPath) {
  return json{{kCommand, kOpenedDir}, {kPath, folderPath}};
}

json bringFileOnline(const std::vector<std::string>& paths) {
  return json{{kCommand, kBringFileOnline}, {kPaths, paths}};
}

json networkAccess(const std::string& state) { return withValue(kNetworkAccess, state); }

std::string encode(const json& message) {
  try {
    return message.dump();
  } catch (const json::exception&) {
    return {};
  }
}

std::optional<std::string> encodeEscapingSlashes(const json& message) {
  std::string text;
  try {
    text = message.dump();
  } catch (const json::exception&) {
    return std::nullopt;
  }
  // A "/" can only stand inside a string in JSON text, so escaping every one is safe.
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string frame(std::string_view text) {
  std::string out;
  out.reserve(text.size() + kFrameEnd.size());
  out.append(text);
  out.append(kFrameEnd);
  return out;
}

std::optional<json> decode(std::string_view text) {
  json value = json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

const std::string* text(const json& message, const char* key) {
  const json* m = member(message, key);
  return m && m->is_string() ? m->get_ptr<const std::string*>() : nullptr;
}

std::optional<std::vector<std::string>> texts(const json& message, const char* key) {
  const json* m = member(message, key);
  if (!m || !m->is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(m->size());
  for (const auto& v : *m) {
    if (!v.is_string()) return std::nullopt;
    out.push_back(v.get<std::string>());
  }
  return out;
}

const json* member(const json& message, const char* key) {
  if (!message.is_object()) return nullptr;
  const auto it = message.find(key);
  return it == message.end() ? nullptr : &*it;
}

}  // namespace pellora::protocol
