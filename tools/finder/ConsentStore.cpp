#include "ConsentStore.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "finderscript/Protocol.h"
#include "log/Log.h"
#include "paths/Paths.h"

namespace pellora::finder {

namespace fs = std::filesystem;
namespace script = platform::finderscript;

namespace {

const platform::log::Log& consentLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Finder");
  return log;
}

const char* nameOf(Decision d) { return d == Decision::Allow ? "allow" : "deny"; }

int statusOf(Decision d) {
  return d == Decision::Allow ? script::noErr : script::errAEEventNotPermitted;
}

bool isNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

ConsentStore::ConsentStore(std::string file)
    : file_(file.empty() ? defaultFile() : std::move(file)) {
  load();
}

std::string ConsentStore::defaultFile() {
  return platform::paths::configDirectory() + "/pellora-finder/consent.json";
}

void ConsentStore::load() {
  std::ifstream in(file_, std::ios::binary);
  if (!in) return;
  std::stringstream text;
  text << in.rdbuf();
  const auto json = nlohmann::json::parse(text.str(), nullptr, false);
  const auto decisions = json.is_object() ? json.find("decisions") : json.end();
  if (json.is_discarded() || !json.is_object() || decisions == json.end() ||
      !decisions->is_object()) {
    consentLog().errorf("Ignoring the consent decisions in %s: not understood", file_.c_str());
    return;
  }
  for (const auto& [identity, value] : decisions->items()) {
    if (value == "allow") decisions_[identity] = Decision::Allow;
    if (value == "deny") decisions_[identity] = Decision::Deny;
  }
}

bool ConsentStore::save(std::string& error) const {
  nlohmann::json decisions = nlohmann::json::object();
  for (const auto& [identity, d] : decisions_) decisions[identity] = nameOf(d);
  const std::string text =
      nlohmann::json{{"decisions", decisions}}.dump(2, ' ', false,
                                                    nlohmann::json::error_handler_t::replace) +
      "\n";
  std::error_code ec;
  fs::create_directories(fs::path(file_).parent_path(), ec);
  // Written whole and renamed into place: a crash leaves the old decisions or the new ones.
  const std::string temp = file_ + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) ||
        !out.flush()) {
      error = temp + ": " + std::strerror(errno);
      return false;
    }
  }
  if (::rename(temp.c_str(), file_.c_str()) != 0) {
    error = file_ + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void ConsentStore::query(uint64_t connection, const script::Peer& peer, bool ask,
                         Answer answer) {
  const std::string identity = peer.identity();
  if (identity.empty()) {
    // A program Finder cannot tell apart from others cannot be given a say.
    consentLog().errorf("Refusing consent to pid %ld: its program is unknown",
                        static_cast<long>(peer.pid));
    answer(script::errAEEventNotPermitted);
    return;
  }
  if (const auto d = decision(identity)) {
    answer(statusOf(*d));
    return;
  }
  if (!ask) {
    answer(script::errAEEventWouldRequireUserConsent);
    return;
  }
  for (auto& [id, waiting] : waiting_) {
    if (waiting.question.identity != identity) continue;
    waiting.answers.emplace_back(connection, std::move(answer));
    return;
  }
  const uint64_t id = nextId_++;
  Waiting& waiting = waiting_[id];
  waiting.question = Question{id, identity, peer.pid, peer.executable};
  waiting.answers.emplace_back(connection, std::move(answer));
  consentLog().infof("Consent question %llu: may %s (pid %ld) control Finder?",
                     static_cast<unsigned long long>(id), identity.c_str(),
                     static_cast<long>(peer.pid));
}

std::optional<Decision> ConsentStore::decision(const std::string& identity) const {
  const auto it = decisions_.find(identity);
  if (it == decisions_.end()) return std::nullopt;
  return it->second;
}

bool ConsentStore::decide(const std::string& idOrIdentity, Decision d, std::string& error) {
  std::string identity = idOrIdentity;
  if (isNumber(idOrIdentity)) {
    uint64_t number = 0;
    const auto [end, ec] =
        std::from_chars(idOrIdentity.data(), idOrIdentity.data() + idOrIdentity.size(), number);
    const auto it = ec == std::errc() ? waiting_.find(number) : waiting_.end();
    if (it == waiting_.end()) {
      error = "no consent question " + idOrIdentity + " is waiting";
      return false;
    }
    identity = it->second.question.identity;
  }
  decisions_[identity] = d;
  consentLog().infof("Consent for %s: %s", identity.c_str(), nameOf(d));
  std::vector<Answer> answers;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (it->second.question.identity != identity) {
      ++it;
      continue;
    }
    for (auto& [connection, answer] : it->second.answers) answers.push_back(std::move(answer));
    it = waiting_.erase(it);
  }
  for (auto& answer : answers) answer(statusOf(d));
  return save(error);
}

void ConsentStore::connectionClosed(uint64_t connection) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    auto& answers = it->second.answers;
    std::erase_if(answers, [&](const auto& a) { return a.first == connection; });
    it = answers.empty() ? waiting_.erase(it) : std::next(it);
  }
}

std::vector<ConsentStore::Question> ConsentStore::pending() const {
  std::vector<Question> out;
  for (const auto& [id, waiting] : waiting_) out.push_back(waiting.question);
  return out;
}

}  // namespace pellora::finder
