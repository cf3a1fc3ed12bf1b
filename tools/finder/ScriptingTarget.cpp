#include "ScriptingTarget.h"

#include <sys/stat.h>

#include "ConsentStore.h"
#include "FolderPaths.h"
#include "finderscript/Protocol.h"

namespace pellora::finder {

namespace script = platform::finderscript;
namespace message = platform::finderscript::message;
using host::normalPath;
using nlohmann::json;

namespace {

constexpr const char* kWindowProperties[] = {"listViewOptions", "columnViewOptions",
                                             "iconViewOptions"};

std::optional<View> viewOfProperty(const std::string& property) {
  if (property == "listViewOptions") return View::List;
  if (property == "columnViewOptions") return View::Column;
  if (property == "iconViewOptions") return View::Icon;
  return std::nullopt;
}

std::string describe(const json& specifier) { return message::encode(specifier); }

}  // namespace

ScriptingTarget::ScriptingTarget(ViewOptionsStore& viewOptions, ConsentStore& consent)
    : viewOptions_(viewOptions), consent_(consent) {}

script::ScriptServer::Handlers ScriptingTarget::handlers() {
  script::ScriptServer::Handlers h;
  h.request = [this](uint64_t connection, const script::Peer& peer, const json& request,
                     script::ScriptServer::Reply reply) {
    handle(connection, peer, request, std::move(reply));
  };
  h.closed = [this](uint64_t connection) { consent_.connectionClosed(connection); };
  return h;
}

void ScriptingTarget::handle(uint64_t connection, const script::Peer& peer, const json& request,
                             script::ScriptServer::Reply reply) {
  const uint64_t id = message::id(request).value_or(0);
  const std::string op = message::text(request, "op");
  if (op == "consent") {
    if (message::text(request, "target") != script::kFinderBundleIdentifier) {
      reply(message::result(id, script::procNotFound));
      return;
    }
    consent_.query(connection, peer, message::boolean(request, "ask").value_or(false),
                   [reply, id](int status) { reply(message::result(id, status)); });
    return;
  }
  if (consent_.decision(peer.identity()) == Decision::Deny) {
    reply(message::error(id, script::errAEEventNotPermitted,
                         peer.identity() + " is not allowed to control Finder"));
    return;
  }
  if (op == "get") {
    reply(get(id, request));
  } else if (op == "set") {
    reply(set(id, request));
  } else {
    reply(message::error(id, script::errAEEventFailed, "Finder does not understand \"" + op + "\""));
  }
}

std::optional<ScriptingTarget::Object> ScriptingTarget::resolve(const json& specifier,
                                                                Failure& failure) const {
  const auto parsed = message::parseSpecifier(specifier);
  if (!parsed) {
    failure = {script::errAEEventFailed, "not an object specifier: " + describe(specifier)};
    return std::nullopt;
  }
  if (parsed->folder) {
    struct stat st {};
    if (parsed->folder->empty() || (*parsed->folder)[0] != '/' ||
        ::stat(parsed->folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      failure = {script::errAENoSuchObject, "Finder can't get folder " + *parsed->folder};
      return std::nullopt;
    }
    return Object{Object::Kind::Folder, normalPath(*parsed->folder)};
  }
  auto of = resolve(parsed->of, failure);
  if (!of) return std::nullopt;
  if (of->kind == Object::Kind::Folder && parsed->property == "containerWindow") {
    return Object{Object::Kind::Window, of->folder};
  }
  if (of->kind == Object::Kind::Window) {
    if (const auto view = viewOfProperty(parsed->property)) {
      return Object{Object::Kind::ViewOptions, of->folder, *view};
    }
  }
  failure = {script::errAENoSuchObject,
             "Finder can't get " + parsed->property + " of " + describe(parsed->of)};
  return std::nullopt;
}

json ScriptingTarget::get(uint64_t id, const json& request) const {
  const json& object = request.contains("object") ? request["object"] : json();
  const std::string property = message::text(request, "property");
  Failure failure{};
  const auto resolved = resolve(object, failure);
  if (!resolved) return message::error(id, failure.code, failure.message);
  switch (resolved->kind) {
    case Object::Kind::Folder:
      if (property == "containerWindow") {
        return message::result(
            id, message::reference(message::propertyOf(property, object), "window",
                                   {std::begin(kWindowProperties), std::end(kWindowProperties)}));
      }
      break;
    case Object::Kind::Window:
      if (const auto view = viewOfProperty(property)) {
        return message::result(
            id, message::reference(message::propertyOf(property, object),
                                   std::string(ViewOptionsStore::nameOf(*view)) + " view options",
                                   ViewOptionsStore::properties()));
      }
      break;
    case Object::Kind::ViewOptions:
      if (const auto value = viewOptions_.property(resolved->folder, resolved->view, property)) {
        return message::result(id, *value);
      }
      break;
  }
  return message::error(id, script::errAENoSuchObject,
                        "Finder can't get " + property + " of " + describe(object));
}

json ScriptingTarget::set(uint64_t id, const json& request) {
  const json& object = request.contains("object") ? request["object"] : json();
  const std::string property = message::text(request, "property");
  Failure failure{};
  const auto resolved = resolve(object, failure);
  if (!resolved) return message::error(id, failure.code, failure.message);
  const auto value = message::boolean(request, "value");
  if (resolved->kind != Object::Kind::ViewOptions ||
      !viewOptions_.property(resolved->folder, resolved->view, property)) {
    return message::error(id, script::errAENoSuchObject,
                          "Finder can't set " + property + " of " + describe(object));
  }
  if (!value) {
    return message::error(id, script::errAEEventFailed, property + " takes true or false");
  }
  viewOptions_.setProperty(resolved->folder, resolved->view, property, *value);
  return message::result(id, nullptr);
}

}  // namespace pellora::finder
