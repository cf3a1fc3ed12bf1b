// Every reader of the stub and share markers, side by side on real files with real attributes:
// the readers deliberately differ on 6-byte values and on read failures.
#include "core/ZavroMarkers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "AttrManager.h"
#include "StubBadgeReader.h"
#include "TempDir.h"
#include "xattr/Xattr.h"

namespace {

using pellora::testing::TempDir;

struct Row {
  const char* label;
  std::optional<std::string> value;  // none: attribute absent
  bool lenient;                      // AttrManager: 5 bytes, or 6 beginning with "ZAVRO"
  bool strict;                       // core readers: exactly "ZAVRO"
  std::optional<NetworkAccess> access;
};

const Row kRows[] = {
    {"absent", std::nullopt, false, false, NetworkAccess::Ok},
    {"exact", std::string("ZAVRO"), true, true, NetworkAccess::Ok},
    {"six letters", std::string("ZAVROX"), true, false, NetworkAccess::Ok},
    {"six with NUL", std::string("ZAVRO\0", 6), true, false, NetworkAccess::Ok},
    {"lower case", std::string("zavro"), false, false, NetworkAccess::Ok},
    {"too short", std::string("ZAVR"), false, false, NetworkAccess::Ok},
    {"seven bytes", std::string("ZAVROXY"), false, false, std::nullopt},  // too long for 6 bytes
    {"non-ASCII", std::string("ZAVR\xC3\x96", 6), false, false, NetworkAccess::Ok},
    {"empty", std::string(), false, false, NetworkAccess::Ok},
};

void mark(const std::string& path, const char* name, const std::optional<std::string>& value) {
  if (!value) return;
  ASSERT_EQ(platform::xattr::set(path, name, value->data(), value->size(), 0, 0), 0) << path;
}

TEST(MarkerReaders, StubMarkerTable) {
  TempDir dir;
  const AttrManager attrs;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.label);
    const std::string file = dir.write(std::string("stub-") + row.label);
    mark(file, "is.zavro.stub", row.value);
    EXPECT_EQ(attrs.isStub(file), row.lenient);
    EXPECT_EQ(verifyIsCachingFile(file), row.strict);
    const StubBadgeRead badge = readStubBadge(file);
    EXPECT_EQ(badge.isStub, row.strict);
    EXPECT_EQ(badge.access, row.access);
    // The share marker is a different attribute: a stub marker never makes a share.
    EXPECT_FALSE(attrs.isZavroMount(file));
    EXPECT_FALSE(isZavroShareRoot(file));
  }
}

TEST(MarkerReaders, ShareMarkerTable) {
  TempDir dir;
  const AttrManager attrs;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.label);
    const std::string root = dir.mkdir(std::string("share-") + row.label);
    mark(root, "is.zavro.share", row.value);
    EXPECT_EQ(attrs.isZavroMount(root), row.lenient);
    EXPECT_EQ(isZavroShareRoot(root), row.strict);
    EXPECT_FALSE(attrs.isStub(root));
    EXPECT_FALSE(verifyIsCachingFile(root));
  }
}

TEST(MarkerReaders, UnreachableFilesAreNeitherStubsNorShares) {
  TempDir dir;
  const AttrManager attrs;
  const std::string missing = dir / "missing";
  EXPECT_FALSE(attrs.isStub(missing));
  EXPECT_FALSE(attrs.isZavroMount(missing));
  EXPECT_FALSE(verifyIsCachingFile(missing));
  EXPECT_FALSE(isZavroShareRoot(missing));
  const StubBadgeRead badge = readStubBadge(missing);
  EXPECT_FALSE(badge.isStub);
  EXPECT_FALSE(badge.access.has_value());  // neither "ok" nor "blocked": nothing to report
}

TEST(MarkerReaders, SymbolicLinksAreFollowed) {
  TempDir dir;
  const std::string file = dir.write("target");
  mark(file, "is.zavro.stub", std::string("ZAVRO"));
  const std::string link = dir / "link";
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  EXPECT_TRUE(AttrManager().isStub(link));
  EXPECT_TRUE(verifyIsCachingFile(link));
}

TEST(NetworkAccessText, MatchesTheWireValues) {
  EXPECT_STREQ(networkAccessText(NetworkAccess::Ok), "ok");
  EXPECT_STREQ(networkAccessText(NetworkAccess::Blocked), "blocked");
}

}  // namespace
