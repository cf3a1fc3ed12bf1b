// The messages of the scripting socket between a scripting client (platform/finderscript) and
// the scripted application (the Finder stand-in). One JSON object per line, as on the
// extension connection. Both ends build and read them here so that the names cannot drift.
//
// Requests carry an "id" that the answer repeats:
//   {"id":N,"op":"get","object":OBJECT,"property":NAME}
//   {"id":N,"op":"set","object":OBJECT,"property":NAME,"value":V}
//   {"id":N,"op":"consent","target":BUNDLE-ID,"eventClass":C,"eventID":E,"ask":B}
// Answers:
//   {"id":N,"result":V}                      V is a value, or a reference (below)
//   {"id":N,"error":CODE,"message":TEXT}     CODE is an Apple-event result code
// An object specifier names an object by how it is reached, as Apple events do:
//   {"folder":PATH}                          the folder at a location (folders/objectAtLocation)
//   {"property":NAME,"of":OBJECT}            a property of another object
// A reference answers a get whose value is an object:
//   {"ref":OBJECT,"class":NAME,"properties":[NAME...]}
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace platform::finderscript {

// Apple-event result codes, as the scripting interfaces return them.
inline constexpr int noErr = 0;
inline constexpr int procNotFound = -600;           // the application is not running
inline constexpr int connectionInvalid = -609;      // it went away during the call
inline constexpr int errAETimeout = -1712;          // no answer in time
inline constexpr int errAENoSuchObject = -1728;     // the specifier names nothing
inline constexpr int errAEEventNotPermitted = -1743;
inline constexpr int errAEEventWouldRequireUserConsent = -1744;
inline constexpr int errAEEventFailed = -10000;     // the request is not understood

// The wildcard event class and identifier ("any event").
inline constexpr const char* typeWildCard = "****";

// The bundle identifier the Finder stand-in answers to.
inline constexpr const char* kFinderBundleIdentifier = "com.apple.finder";
// Where the Finder stand-in serves scripting: $PELLORA_FINDER_SCRIPTING_SOCKET, else
// ~/.pellora-finder/scripting.sock (beside its control socket).
std::string finderScriptingSocket();

namespace message {

// Specifiers.
nlohmann::json folderAt(const std::string& path);
nlohmann::json propertyOf(const std::string& name, const nlohmann::json& object);

// Requests.
nlohmann::json get(uint64_t id, const nlohmann::json& object, const std::string& property);
nlohmann::json set(uint64_t id, const nlohmann::json& object, const std::string& property,
                   const nlohmann::json& value);
nlohmann::json consent(uint64_t id, const std::string& target, const std::string& eventClass,
                       const std::string& eventID, bool ask);

// Answers.
nlohmann::json result(uint64_t id, const nlohmann::json& value);
nlohmann::json error(uint64_t id, int code, const std::string& text);
nlohmann::json reference(const nlohmann::json& object, const std::string& className,
                         const std::vector<std::string>& properties);

// A specifier taken apart: either a folder location or a property of another specifier.
struct Specifier {
  std::optional<std::string> folder;
  std::string property;
  nlohmann::json of;  // the object the property belongs to
};
// Nothing when the value is no specifier.
std::optional<Specifier> parseSpecifier(const nlohmann::json& object);

// Field accessors that never throw: the value when the field has the right type.
std::optional<uint64_t> id(const nlohmann::json& message);
std::string text(const nlohmann::json& message, const char* key);
std::optional<bool> boolean(const nlohmann::json& message, const char* key);
std::optional<int> integer(const nlohmann::json& message, const char* key);

// The message as one line, without the newline.
std::string encode(const nlohmann::json& message);

}  // namespace message
}  // namespace platform::finderscript
