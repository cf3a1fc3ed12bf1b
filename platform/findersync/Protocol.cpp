#include "findersync/Protocol.h"

namespace platform::findersync::message {

using nlohmann::json;

namespace {

json op(const char* name) { return json{{"op", name}}; }

json withUrl(const char* name, const std::string& url) {
  json m = op(name);
  m["url"] = url;
  return m;
}

}  // namespace

json makePrincipal() { return op("makePrincipal"); }
json beginObserving(const std::string& url) { return withUrl("beginObserving", url); }
json endObserving(const std::string& url) { return withUrl("endObserving", url); }
json requestBadge(const std::string& url) { return withUrl("requestBadge", url); }

json selection(const std::vector<std::string>& urls) {
  json m = op("selection");
  m["urls"] = urls;
  return m;
}

json menuRequest(uint64_t id, MenuKind kind, const std::vector<std::string>& selection) {
  json m = op("menu");
  m["id"] = id;
  m["kind"] = menuKindName(kind);
  m["selection"] = selection;
  return m;
}

json click(uint64_t menu, size_t index) {
  json m = op("click");
  m["menu"] = menu;
  m["index"] = index;
  return m;
}

json setBadgeImage(const std::string& image, const std::string& label, const std::string& badge) {
  json m = op("setBadgeImage");
  m["image"] = image;
  m["label"] = label;
  m["badge"] = badge;
  return m;
}

json setBadge(const std::string& badge, const std::string& url) {
  json m = withUrl("setBadge", url);
  m["badge"] = badge;
  return m;
}

json setDirectoryURLs(const std::set<std::string>& urls) {
  json m = op("setDirectoryURLs");
  m["urls"] = urls;
  return m;
}

json menuReply(uint64_t id, const std::optional<Menu>& menu) {
  json m = op("menuReply");
  m["id"] = id;
  if (!menu) {
    m["items"] = nullptr;
    return m;
  }
  json items = json::array();
  for (const auto& item : menu->items) {
    items.push_back(
        {{"title", item.title}, {"enabled", item.enabled}, {"key", item.keyEquivalent}});
  }
  m["items"] = std::move(items);
  return m;
}

json showManagement() { return op("showManagement"); }

std::optional<std::vector<MenuEntry>> menuEntries(const json& reply) {
  if (!reply.is_object()) return std::nullopt;
  const auto it = reply.find("items");
  if (it == reply.end() || !it->is_array()) return std::nullopt;
  std::vector<MenuEntry> out;
  for (const auto& item : *it) {
    if (!item.is_object()) continue;
    MenuEntry entry;
    entry.title = text(item, "title");
    const auto enabled = item.find("enabled");
    entry.enabled = enabled == item.end() || !enabled->is_boolean() || enabled->get<bool>();
    entry.keyEquivalent = text(item, "key");
    out.push_back(std::move(entry));
  }
  return out;
}

std::string menuKindName(MenuKind kind) {
  switch (kind) {
    case MenuKind::ContextualMenuForItems:
      return "items";
    case MenuKind::ContextualMenuForContainer:
      return "container";
    case MenuKind::ContextualMenuForSidebar:
      return "sidebar";
    case MenuKind::ToolbarItemMenu:
      return "toolbar";
  }
  return "items";
}

std::optional<MenuKind> menuKindFromName(std::string_view name) {
  for (MenuKind kind : {MenuKind::ContextualMenuForItems, MenuKind::ContextualMenuForContainer,
                        MenuKind::ContextualMenuForSidebar, MenuKind::ToolbarItemMenu}) {
    if (name == menuKindName(kind)) return kind;
  }
  return std::nullopt;
}

std::string text(const json& message, const char* key) {
  if (!message.is_object()) return {};
  const auto it = message.find(key);
  return it != message.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<std::string> texts(const json& message, const char* key) {
  std::vector<std::string> out;
  if (!message.is_object()) return out;
  const auto it = message.find(key);
  if (it == message.end() || !it->is_array()) return out;
  for (const auto& v : *it) {
    if (v.is_string()) out.push_back(v.get<std::string>());
  }
  return out;
}

std::optional<uint64_t> number(const json& message, const char* key) {
  if (!message.is_object()) return std::nullopt;
  const auto it = message.find(key);
  if (it == message.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<uint64_t>();
}

std::string encode(const json& message) {
  // Invalid UTF-8 in a path must not make dump() throw; it is replaced instead.
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

Received receive(std::string& buffer, std::string_view bytes, size_t maxLine) {
  Received out;
  buffer.append(bytes);
  size_t start = 0;
  for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
    if (nl - start > maxLine) {
      out.overlong = true;
      return out;
    }
    auto message = json::parse(buffer.begin() + static_cast<long>(start),
                               buffer.begin() + static_cast<long>(nl), nullptr,
                               /*allow_exceptions=*/false);
    if (message.is_discarded() || !message.is_object()) {
      ++out.dropped;
      continue;
    }
    out.messages.push_back(std::move(message));
  }
  buffer.erase(0, start);
  out.overlong = buffer.size() > maxLine;
  return out;
}

}  // namespace platform::findersync::message
