// A value in a defaults suite: text, integer, real, Boolean, array or dictionary. Values are
// immutable and cheap to copy (arrays and dictionaries are shared).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform::defaults {

class Value {
 public:
  enum class Kind { Text, Integer, Real, Boolean, Array, Dictionary };
  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value>;

  Value(std::string text) : v_(std::move(text)) {}
  Value(const char* text) : v_(std::string(text)) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  Value(T number) : v_(static_cast<int64_t>(number)) {}
  Value(double number) : v_(number) {}
  Value(bool flag) : v_(flag) {}
  explicit Value(Array items);
  explicit Value(Dictionary entries);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  // A Boolean counts as a number, as stored numbers and Booleans are one kind to readers.
  bool isNumber() const;

  // Each accessor gives the value only when it is of that kind (real() takes integers too).
  const std::string* text() const { return std::get_if<std::string>(&v_); }
  std::optional<int64_t> integer() const;
  std::optional<double> real() const;
  std::optional<bool> boolean() const;
  const Array* array() const;
  const Dictionary* dictionary() const;

  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  std::variant<std::string, int64_t, double, bool, std::shared_ptr<const Array>,
               std::shared_ptr<const Dictionary>>
      v_;
};

}  // namespace platform::defaults
