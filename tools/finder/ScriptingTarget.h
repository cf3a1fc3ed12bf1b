// Finder's scripting dictionary, served on the scripting socket: the folder at a location, its
// container window, the window's list, column and icon view options and their preview
// properties (kept in the ViewOptionsStore), and the consent query (the ConsentStore). A
// program the user denied control of Finder gets errAEEventNotPermitted for every call. Lives
// on the main thread, as Finder does.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "finderscript/Peer.h"
#include "finderscript/ScriptServer.h"
#include "ViewOptions.h"

namespace pellora::finder {

class ConsentStore;

class ScriptingTarget {
 public:
  ScriptingTarget(ViewOptionsStore& viewOptions, ConsentStore& consent);

  // The handlers for a ScriptServer.
  platform::finderscript::ScriptServer::Handlers handlers();

  // One request; answers through reply, at once or (a consent question) later.
  void handle(uint64_t connection, const platform::finderscript::Peer& peer,
              const nlohmann::json& request, platform::finderscript::ScriptServer::Reply reply);

 private:
  // What a specifier names once resolved.
  struct Object {
    enum class Kind { Folder, Window, ViewOptions } kind;
    std::string folder;
    View view = View::Icon;
  };
  struct Failure {
    int code;
    std::string message;
  };

  std::optional<Object> resolve(const nlohmann::json& specifier, Failure& failure) const;
  nlohmann::json get(uint64_t id, const nlohmann::json& request) const;
  nlohmann::json set(uint64_t id, const nlohmann::json& request);

  ViewOptionsStore& viewOptions_;
  ConsentStore& consent_;
};

}  // namespace pellora::finder
