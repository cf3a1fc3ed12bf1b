#include "Faults.h"

#include <cerrno>

namespace pellora::gatewaysim {

std::string Faults::normalise(std::string_view path) {
  std::string out;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (!part.empty() && part != ".") {
      if (!out.empty()) out.push_back('/');
      out.append(part);
    }
    pos = end + 1;
  }
  return out;
}

bool Faults::covers(std::string_view ruleRoot, std::string_view rel) {
  if (ruleRoot.empty()) return true;
  if (rel.size() < ruleRoot.size() || rel.compare(0, ruleRoot.size(), ruleRoot) != 0) {
    return false;
  }
  return rel.size() == ruleRoot.size() || rel[ruleRoot.size()] == '/';
}

int Faults::errorFor(std::string_view rel, Access access) const {
  std::lock_guard lock(mutex_);
  for (const auto& [root, err] : outages_) {
    if (covers(root, rel)) return err;
  }
  if (access == Access::List) return 0;
  for (const auto& root : unreadable_) {
    if (covers(root, rel)) return EPERM;
  }
  if (access == Access::Enumerate) return 0;
  for (const auto& root : denied_) {
    if (covers(root, rel)) return EPERM;
  }
  return 0;
}

void Faults::unreadable(std::string_view rel) {
  std::lock_guard lock(mutex_);
  unreadable_.insert(normalise(rel));
}

void Faults::deny(std::string_view rel) {
  std::lock_guard lock(mutex_);
  denied_.insert(normalise(rel));
}

void Faults::outage(std::string_view rel, int err) {
  std::lock_guard lock(mutex_);
  outages_[normalise(rel)] = err;
}

bool Faults::fail(std::string_view rel, int digit) {
  if (digit < 0 || digit > 9) return false;
  std::lock_guard lock(mutex_);
  if (digit == 0) {
    failing_.erase(normalise(rel));
  } else {
    failing_[normalise(rel)] = digit;
  }
  return true;
}

int Faults::failDigit(std::string_view rel) const {
  std::lock_guard lock(mutex_);
  const auto it = failing_.find(rel);
  return it == failing_.end() ? 0 : it->second;
}

void Faults::setLatency(Millis latency) {
  std::lock_guard lock(mutex_);
  latency_ = latency;
}

Faults::Millis Faults::latency() const {
  std::lock_guard lock(mutex_);
  return latency_;
}

void Faults::setSlow(Millis slow) {
  std::lock_guard lock(mutex_);
  slow_ = slow;
}

Faults::Millis Faults::slow() const {
  std::lock_guard lock(mutex_);
  return slow_;
}

void Faults::clear() {
  std::lock_guard lock(mutex_);
  denied_.clear();
  unreadable_.clear();
  outages_.clear();
  failing_.clear();
  slow_ = Millis{0};
}

}  // namespace pellora::gatewaysim
