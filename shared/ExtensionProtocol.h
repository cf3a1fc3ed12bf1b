// The messages between the Finder extension and the service over their TCP connection (the port
// file through which the extension finds the service is PortFile.h). Both ends build their
// frames here, so that a command name cannot drift apart between them; readers take fields
// through accessors that never throw.
//
// A frame is one compact JSON object followed by CR LF. Frames are encoded with nlohmann::json,
// whose objects keep their keys in byte order: the bytes on the wire are part of the contract
// (tests and benchmarks compare them), so builders must not change how a frame is spelled.
#pragma once

#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::protocol {

// "command" of every message.
inline constexpr const char* kGetFileIconId = "getFileIconId";
inline constexpr const char* kStartObservingFolder = "startObservingFolder";
inline constexpr const char* kOpenedDir = "openedDir";
inline constexpr const char* kBringFileOnline = "bringFileOnline";
inline constexpr const char* kNetworkAccess = "networkAccess";
inline constexpr const char* kSetFileIcons = "setFileIcons";
inline constexpr const char* kSetFilterPaths = "setFilterPaths";
inline constexpr const char* kRegisterIconWithId = "registerIconWithId";
inline constexpr const char* kRefreshIcons = "refreshIcons";

// Keys.
inline constexpr const char* kCommand = "command";
inline constexpr const char* kValue = "value";
inline constexpr const char* kPath = "path";
inline constexpr const char* kPaths = "paths";
inline constexpr const char* kLabel = "label";
inline constexpr const char* kIconId = "iconId";

// Badge identifiers: a stub, and not a stub (no image, so no badge).
inline constexpr const char* kFileIconCache = "FileIconCache";
inline constexpr const char* kFileIconNone = "FileIconNone";

// The states of "networkAccess".
inline constexpr const char* kAccessOk = "ok";
inline constexpr const char* kAccessBlocked = "blocked";

// The end of every frame.
inline constexpr std::string_view kFrameEnd = "\r\n";

// Text without a line break longer than this ends the connection, at either end. Generous: a
// selection of 100,000 long paths fits.
inline constexpr size_t kMaxFrameBytes = size_t{64} << 20;

// Service to extension.
nlohmann::json setFileIcons(const std::map<std::string, std::string>& badges);
nlohmann::json setFilterPaths(const std::vector<std::string>& roots);
nlohmann::json registerIconWithId(const std::string& imagePath, const std::string& label,
                                  const std::string& iconId);

// Extension to service.
nlohmann::json getFileIconId(const std::string& path);
nlohmann::json openedDir(const std::string& folderPath);
nlohmann::json bringFileOnline(const std::vector<std::string>& paths);
nlohmann::json networkAccess(const std::string& state);

// The service's writer: compact JSON, or the empty text when the value cannot be encoded (a
// string that is not UTF-8); the receiver then gets an empty frame.
std::string encode(const nlohmann::json& message);
// The extension's writer: as encode(), with every "/" escaped as "\/" as the platform's encoder
// writes it; nothing when the value cannot be encoded.
std::optional<std::string> encodeEscapingSlashes(const nlohmann::json& message);
// text followed by the end marker.
std::string frame(std::string_view text);

// Readers. decode() gives any JSON value (top-level fragments included), nothing for text that
// is not JSON or not UTF-8.
std::optional<nlohmann::json> decode(std::string_view text);
// The string member key of message; null when message is no object or the member no string.
const std::string* text(const nlohmann::json& message, const char* key);
// The array member key when every element is a string; nothing otherwise.
std::optional<std::vector<std::string>> texts(const nlohmann::json& message, const char* key);
// The member key of any type; null when absent or message is no object.
const nlohmann::json* member(const nlohmann::json& message, const char* key);

// The badge path, without building a document. Badge requests come by the thousand in one
// hand-over, nearly always spelled as compact writers spell them; those lines are read here,
// every other one through decode().

// The path of a line that is exactly {"command":"getFileIconId","value":"..."} (or with
// "startObservingFolder"), its value a JSON string whose \u escapes, if any, are ASCII as the
// writer's are; nothing for any other line. A line read here means to decode() what it means here.
// The path points into line, or into scratch when the value holds escapes.
std::optional<std::string_view> badgeRequestPath(std::string_view line, std::string& scratch);

struct BadgeEntry {
  std::string_view path;
  std::string_view badge;
  // The path is valid UTF-8 with nothing a JSON string escapes: as badgeRequestPath() gives it
  // when it points into the line.
  bool verbatim = false;
};

// The answer {"command":"setFileIcons","value":{...}} spelled exactly as
// encode(setFileIcons(map)) spells it, where map holds the entries with a later entry for the
// same path winning; the empty text when a path is not UTF-8. Reorders entries.
std::string encodeSetFileIcons(std::vector<BadgeEntry>& entries);
// Appends text as a JSON string spelled as encode() spells strings; false, with out cut back to
// where it was, when text is not UTF-8.
bool appendQuoted(std::string& out, std::string_view text);
// As appendQuoted(), without the quotes.
bool appendEscaped(std::string& out, std::string_view text);

}  // namespace pellora::protocol
