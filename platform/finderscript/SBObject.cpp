#include "finderscript/SBObject.h"

#include <algorithm>

#include "finderscript/Connection.h"

namespace platform::finderscript {

SBObject::SBObject(std::shared_ptr<Connection> connection, nlohmann::json specifier,
                   std::string className, std::vector<std::string> properties)
    : connection_(std::move(connection)),
      specifier_(std::move(specifier)),
      className_(std::move(className)),
      properties_(std::move(properties)) {}

bool SBObject::respondsTo(std::string_view property) const {
  return std::find(properties_.begin(), properties_.end(), property) != properties_.end();
}

std::optional<nlohmann::json> SBObject::getProperty(const std::string& name) const {
  auto answer = connection_->get(specifier_, name);
  if (!answer.ok()) return std::nullopt;
  return std::move(answer.value);
}

bool SBObject::setProperty(const std::string& name, const nlohmann::json& value) const {
  return connection_->set(specifier_, name, value).ok();
}

bool SBObject::isReference(const nlohmann::json& value) {
  if (!value.is_object()) return false;
  const auto ref = value.find("ref");
  const auto cls = value.find("class");
  const auto properties = value.find("properties");
  if (ref == value.end() || !ref->is_object() || cls == value.end() || !cls->is_string() ||
      properties == value.end() || !properties->is_array()) {
    return false;
  }
  return std::all_of(properties->begin(), properties->end(),
                     [](const nlohmann::json& p) { return p.is_string(); });
}

}  // namespace platform::finderscript
