// Reads the gateway's markers: whether a file is a stub and whether a folder is a share root.
// Stateless; every failure reads as "no".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class AttrManager {
 public:
  struct Keys {
    static constexpr std::string_view isStub = "is.zavro.stub";
    static constexpr std::string_view isZavro = "is.zavro.share";
    static constexpr std::string_view zavroValue = "ZAVRO";
  };

  // A 5-byte "ZAVRO", or a 6-byte value that begins with it, marks a stub.
  bool isStub(const std::string& url) const;
  // The same rule for the share marker of a mount point.
  bool isZavroMount(const std::string& url) const;

 private:
  bool hasZavroValue(std::string_view name, const std::string& url) const;
  // Reads at most len bytes into a zeroed buffer and returns its first len - 1 bytes, or
  // nothing when the read fails.
  std::optional<std::vector<uint8_t>> readAttrValue(std::string_view name, const std::string& url,
                                                    size_t len) const;
};
