// What the TCP server asks of its owner: every decision about content is the owner's.
#pragma once

#include <string>

class ResponseHelperInterface {
 public:
  // Fills output with the answer to one hand-over of request text.
  virtual void analyzeInputAndGenerateOutput(const std::string& input, std::string& output) = 0;
  virtual void notifyOnReady() = 0;
  // True when first, the client's opening message, is acceptable.
  virtual bool verifyZavroSocket(const std::string& first) = 0;
  // The frames a new client receives first (each may be empty).
  virtual std::string getFilterPaths() = 0;
  virtual std::string getIcon() = 0;
  // A client passed the opening exchange, or one that had went away. Called on the server's
  // threads without its locks.
  virtual void connectionsChanged() {}
  virtual ~ResponseHelperInterface() = default;
};
