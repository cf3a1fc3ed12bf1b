#include "core/IconFrames.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "core/JsonText.h"
#include "core/ZavroMarkers.h"
#include "text/Split.h"

std::string registerIconFrame(const std::optional<platform::bundle::Bundle>& bundle) {
  if (!bundle) return {};
  const auto image = bundle->pathForResource("zavroMacPellora", "icns");
  if (!image) return {};
  return compactJson({{"command", "registerIconWithId"},
                      {"value", {{"path", *image}, {"label", "FileIconCache"}, {"iconId", "FileIconCache"}}}});
}

std::string setFilterPathFrame(const std::string& joined) {
  std::vector<std::string> pieces;
  for (const auto piece : platform::text::split(joined, "\n\r")) pieces.emplace_back(piece);
  return compactJson({{"command", "setFilterPaths"}, {"value", pieces}});
}

std::string refreshFileIconFrame(const std::string& path) {
  const char* badge = verifyIsCachingFile(path) ? "FileIconCache" : "FileIconNone";
  return compactJson({{"command", "setFileIcons"}, {"value", {{path, badge}}}});
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
