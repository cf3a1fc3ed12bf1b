#include "core/IconFrames.h"

#include <vector>

#include "ExtensionProtocol.h"
#include "core/JsonText.h"
#include "core/ZavroMarkers.h"
#include "text/Split.h"

namespace protocol = pellora::protocol;

std::string registerIconFrame(const std::optional<platform::bundle::Bundle>& bundle) {
  if (!bundle) return {};
  const auto image = bundle->pathForResource("zavroMacPellora", "icns");
  if (!image) return {};
  return protocol::encode(
      protocol::registerIconWithId(*image, protocol::kFileIconCache, protocol::kFileIconCache));
}

std::string setFilterPathFrame(const std::string& joined) {
  std::vector<std::string> pieces;
  for (const auto piece : platform::text::split(joined, "\n\r")) pieces.emplace_back(piece);
  return protocol::encode(protocol::setFilterPaths(pieces));
}

std::string refreshFileIconFrame(const std::string& path) {
  const char* badge =
      verifyIsCachingFile(path) ? protocol::kFileIconCache : protocol::kFileIconNone;
  return protocol::encode(protocol::setFileIcons({{path, badge}}));
}

extern "C" const char* registerIcon() {
  return returnedText(registerIconFrame(platform::bundle::Bundle::main()));
}

extern "C" const char* setFilterPath(const char* text) {
  return returnedText(setFilterPathFrame(text ? text : ""));
}

extern "C" const char* _refreshFileIcon(const char* path) {
  return returnedText(refreshFileIconFrame(path ? path : ""));
}
