// An object of a scripted application, named by its specifier. Objects made from a location
// (objectAtLocation) are references the application has not seen yet; objects that a get
// returned carry what the application said about them: their class and the properties that
// class knows (so respondsTo needs no call, as a scripting bridge answers it from the
// application's dictionary).
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::finderscript {

class Connection;

class SBObject {
 public:
  // Objects are made by the calls that name or return them.
  SBObject(std::shared_ptr<Connection> connection, nlohmann::json specifier,
           std::string className = {}, std::vector<std::string> properties = {});
  virtual ~SBObject() = default;

  const nlohmann::json& specifier() const { return specifier_; }
  const std::string& className() const { return className_; }
  // True when the object's class has the property. An object the application has not
  // described knows none.
  bool respondsTo(std::string_view property) const;

 protected:
  // The property's value; nothing when the call failed (the connection logged why).
  std::optional<nlohmann::json> getProperty(const std::string& name) const;
  bool setProperty(const std::string& name, const nlohmann::json& value) const;
  // A property whose value is an object: the reference the application answered, made into T;
  // null when the call failed or did not answer a reference.
  template <class T>
  std::shared_ptr<T> getObject(const std::string& name) const {
    const auto value = getProperty(name);
    if (!value || !isReference(*value)) return nullptr;
    return std::shared_ptr<T>(new T(connection_, (*value)["ref"], (*value)["class"],
                                    (*value)["properties"].get<std::vector<std::string>>()));
  }

  const std::shared_ptr<Connection>& connection() const { return connection_; }

 private:
  static bool isReference(const nlohmann::json& value);

  std::shared_ptr<Connection> connection_;
  nlohmann::json specifier_;
  std::string className_;
  std::vector<std::string> properties_;
};

}  // namespace platform::finderscript
