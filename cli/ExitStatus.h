// The exit statuses of the pellora command, each for one kind of outcome so that scripts can
// tell them apart; `pellora --help` lists them.
#pragma once

namespace pellora::cli {

enum ExitStatus : int {
  kExitOk = 0,
  // status: Pellora is off or something keeps it from working; bring-online: a file failed;
  // enable, disable, stubs: what was asked could not be done.
  kExitFailed = 1,
  kExitUsage = 2,
  kExitMissingPath = 3,
  kExitNotOnShare = 4,
  kExitNoService = 5,
  // Ctrl-C (or SIGTERM) ended the command: 128 + SIGINT, as shells report it.
  kExitCanceled = 130,
};

}  // namespace pellora::cli
