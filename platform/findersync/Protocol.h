// The messages between Finder and an extension process. Each message is one JSON object on one
// line, its kind in "op". Both ends build their messages here so that the names cannot drift
// apart; readers take fields through the accessors below, which never throw.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "findersync/FIFinderSync.h"

namespace platform::findersync::message {

// Finder to extension.
nlohmann::json makePrincipal();
nlohmann::json beginObserving(const std::string& url);
nlohmann::json endObserving(const std::string& url);
nlohmann::json requestBadge(const std::string& url);
nlohmann::json selection(const std::vector<std::string>& urls);
nlohmann::json menuRequest(uint64_t id, MenuKind kind, const std::vector<std::string>& selection);
nlohmann::json click(uint64_t menu, size_t index);

// Extension to Finder.
nlohmann::json setBadgeImage(const std::string& image, const std::string& label,
                             const std::string& badge);
nlohmann::json setBadge(const std::string& badge, const std::string& url);
nlohmann::json setDirectoryURLs(const std::set<std::string>& urls);
// A missing menu is sent as null; actions stay in the extension.
nlohmann::json menuReply(uint64_t id, const std::optional<Menu>& menu);
nlohmann::json showManagement();

// One item of a menu as Finder sees it.
struct MenuEntry {
  std::string title;
  bool enabled = true;
  std::string keyEquivalent;
};
// The items of a menuReply, or nothing when the extension has no menu.
std::optional<std::vector<MenuEntry>> menuEntries(const nlohmann::json& reply);

std::string menuKindName(MenuKind kind);
std::optional<MenuKind> menuKindFromName(std::string_view name);

// Field accessors: the value when the field has the right type, else the fallback.
std::string text(const nlohmann::json& message, const char* key);
std::vector<std::string> texts(const nlohmann::json& message, const char* key);
std::optional<uint64_t> number(const nlohmann::json& message, const char* key);

// The message as one line, without the newline.
std::string encode(const nlohmann::json& message);

// What one read of the stream yields: the messages of the lines it completed, in order, and
// how many complete lines held no JSON object (they are dropped). overlong means a line, ended
// or not, is longer than the limit: the stream is beyond repair and nothing after it counts.
struct Received {
  std::vector<nlohmann::json> messages;
  size_t dropped = 0;
  bool overlong = false;
};
// Appends bytes to buffer (the stream's unfinished line, kept between reads) and takes out the
// complete lines. Cutting a stream into reads differently never changes what comes out.
Received receive(std::string& buffer, std::string_view bytes, size_t maxLine);

}  // namespace platform::findersync::message
