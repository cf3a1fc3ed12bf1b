#include "AttrManager.h"

#include <algorithm>

#include "xattr/Xattr.h"

std::optional<std::vector<uint8_t>> AttrManager::readAttrValue(std::string_view name,
                                                               const std::string& url,
                                                               size_t len) const {
  if (len == 0) return std::nullopt;
  std::vector<uint8_t> buffer(len, 0);
  if (platform::xattr::get(url, std::string(name), buffer.data(), len, 0, 0) < 0) {
    return std::nullopt;
  }
  // The last byte goes whatever the read length was.
  buffer.pop_back();
  return buffer;
}

bool AttrManager::hasZavroValue(std::string_view name, const std::string& url) const {
  const auto bytes = readAttrValue(name, url, 6);
  if (!bytes) return false;
  if (std::any_of(bytes->begin(), bytes->end(), [](uint8_t b) { return b > 0x7F; })) return false;
  return std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()) ==
         Keys::zavroValue;
}

bool AttrManager::isStub(const std::string& url) const { return hasZavroValue(Keys::isStub, url); }

bool AttrManager::isZavroMount(const std::string& url) const {
  return hasZavroValue(Keys::isZavro, url);
}
