#include "Localization.h"

#include "bundle/Bundle.h"
#include "text/Format.h"

std::string localizedString(const std::string& key) {
  static const auto bundle = platform::bundle::Bundle::main();
  return bundle ? bundle->localizedString(key) : key;
}

std::string localizedFormat(const std::string& key, const std::vector<std::string>& args) {
  return platform::text::format(localizedString(key), args);
}
