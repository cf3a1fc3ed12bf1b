// Who may control Finder: the user's decisions, one per asking program (its bundle identifier,
// or its executable's path when it has no bundle), kept in a file so that they outlast Finder,
// and the questions waiting for the user. A query that does not ask answers at once; one that
// asks about an undecided program waits until the user decides (finder consent allow|deny ID).
// Several questions of one program are one question. Lives on the main thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "finderscript/Peer.h"

namespace pellora::finder {

enum class Decision { Allow, Deny };

class ConsentStore {
 public:
  // Gets an Apple-event result code: noErr, errAEEventWouldRequireUserConsent or
  // errAEEventNotPermitted.
  using Answer = std::function<void(int status)>;

  struct Question {
    uint64_t id = 0;
    std::string identity;
    pid_t pid = 0;  // the process that asked first
    std::string executable;
  };

  // file: where decisions are kept; the default file under the configuration folder when empty.
  explicit ConsentStore(std::string file = {});

  static std::string defaultFile();
  const std::string& file() const { return file_; }

  // Answers through answer, at once or (ask, undecided) once the user has decided.
  // connection numbers the asker's connection, so that its questions go when it does.
  void query(uint64_t connection, const platform::finderscript::Peer& peer, bool ask,
             Answer answer);
  std::optional<Decision> decision(const std::string& identity) const;
  // Decides question id (a number) or, ahead of any question, the program named identity;
  // answers the waiting questions of that program. False (with error) for a number that names
  // no waiting question, or when the decision cannot be written (it holds until Finder ends).
  bool decide(const std::string& idOrIdentity, Decision decision, std::string& error);
  // The asker's connection has ended: questions nobody waits for any more go.
  void connectionClosed(uint64_t connection);

  std::vector<Question> pending() const;
  const std::map<std::string, Decision>& decisions() const { return decisions_; }

 private:
  struct Waiting {
    Question question;
    std::vector<std::pair<uint64_t, Answer>> answers;  // connection, answer
  };

  void load();
  bool save(std::string& error) const;

  std::string file_;
  std::map<std::string, Decision> decisions_;
  std::map<uint64_t, Waiting> waiting_;
  uint64_t nextId_ = 1;
};

}  // namespace pellora::finder
