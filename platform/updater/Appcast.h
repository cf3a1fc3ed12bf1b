// The update feed: an RSS 2.0 channel whose items each describe one release, written and read
// here so that the signing tool and the updater cannot disagree about names.
//
//   <rss version="2.0" xmlns:update="urn:pellora:update">
//     <channel><title>...</title>
//       <item>
//         <title>Version 1.0.1</title>
//         <update:version>2</update:version>
//         <update:shortVersionString>1.0.1</update:shortVersionString>
//         <enclosure url="http://.../app-2.tar.gz" length="123" type="application/x-gtar"
//                    update:edSignature="base64"/>
//       </item>
//     </channel>
//   </rss>
//
// The version and short version may also be attributes of the enclosure. The namespace is
// recognised by its URI, whatever prefix the feed binds it to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::updater {

inline constexpr const char* kAppcastNamespace = "urn:pellora:update";

struct AppcastItem {
  std::string title;
  std::string version;             // compared with the bundle's CFBundleVersion
  std::string shortVersionString;  // for people
  std::string url;                 // of the archive
  uint64_t length = 0;             // of the archive, in bytes
  std::string edSignature;         // base64 Ed25519 signature of the whole archive
};

struct Appcast {
  std::string title;
  std::vector<AppcastItem> items;
  size_t skippedItems = 0;  // items without a version, an enclosure URL, a length or a signature
};

// None when the text is not an RSS feed.
std::optional<Appcast> parseAppcast(std::string_view xml);
std::string writeAppcast(const Appcast& appcast);

// The item with the highest version above currentVersion, if any.
std::optional<AppcastItem> newestItemAbove(const std::vector<AppcastItem>& items,
                                           std::string_view currentVersion);

}  // namespace platform::updater
