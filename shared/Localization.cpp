#include "Localization.h"

#include "bundle/Bundle.h"
#include "text/Format.h"

namespace {

std::optional<platform::bundle::Bundle>& tableBundle() {
  static std::optional<platform::bundle::Bundle> bundle = platform::bundle::Bundle::main();
  return bundle;
}

}  // namespace

std::string localizedString(const std::string& key) {
  const auto& bundle = tableBundle();
  return bundle ? bundle->localizedString(key) : key;
}

void useLocalizationBundle(const std::string& bundlePath) { tableBundle() = platform::bundle::Bundle(bundlePath); }

std::string localizedFormat(const std::string& key, const std::vector<std::string>& args) {
  return platform::text::format(localizedString(key), args);
}
