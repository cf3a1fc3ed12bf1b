#include "defaults/Value.h"

namespace platform::defaults {

Value::Value(Array items) : v_(std::make_shared<const Array>(std::move(items))) {}

Value::Value(Dictionary entries) : v_(std::make_shared<const Dictionary>(std::move(entries))) {}

bool Value::isNumber() const {
  const Kind k = kind();
  return k == Kind::Integer || k == Kind::Real || k == Kind::Boolean;
}

std::optional<int64_t> Value::integer() const {
  if (const auto* n = std::get_if<int64_t>(&v_)) return *n;
  return std::nullopt;
}

std::optional<double> Value::real() const {
  if (const auto* d = std::get_if<double>(&v_)) return *d;
  if (const auto* n = std::get_if<int64_t>(&v_)) return static_cast<double>(*n);
  return std::nullopt;
}

std::optional<bool> Value::boolean() const {
  if (const auto* b = std::get_if<bool>(&v_)) return *b;
  return std::nullopt;
}

const Value::Array* Value::array() const {
  const auto* a = std::get_if<std::shared_ptr<const Array>>(&v_);
  return a ? a->get() : nullptr;
}

const Value::Dictionary* Value::dictionary() const {
  const auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
  return d ? d->get() : nullptr;
}

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  if (const Array* a = array()) return *a == *other.array();
  if (const Dictionary* d = dictionary()) return *d == *other.dictionary();
  return v_ == other.v_;
}

}  // namespace platform::defaults
