// The frames through which the service names the badge image, the folders to observe and the
// badge of a changed file. Each returns the frame's JSON text without CR LF, or the empty text
// when the frame cannot be built.
#pragma once

#include <optional>
#include <string>

#include "bundle/Bundle.h"

extern "C" {
// {"command":"registerIconWithId","value":{"path":...,"label":"FileIconCache","iconId":...}}
const char* registerIcon();
// {"command":"setFilterPaths","value":[...]} from roots joined with "\n\r".
const char* setFilterPath(const char* text);
// {"command":"setFileIcons","value":{path:badge}}
const char* _refreshFileIcon(const char* path);
}

// The frame for the badge image of a given bundle (registerIcon() uses the main bundle).
std::string registerIconFrame(const std::optional<platform::bundle::Bundle>& bundle);
std::string setFilterPathFrame(const std::string& joined);
std::string refreshFileIconFrame(const std::string& path);
