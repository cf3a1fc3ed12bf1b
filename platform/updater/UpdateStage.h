// The steps of one update after the feed named a newer version, in order.
#pragma once

namespace platform::updater {

enum class UpdateStage {
  Downloaded,  // the archive is in the temporary folder
  Verified,    // its length and signature are right
  Unpacked,    // the new bundle lies checked beside the installed one
  Replaced,    // the new bundle is in place; the old one is not yet removed
};

}  // namespace platform::updater
