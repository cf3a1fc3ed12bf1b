#include "core/JsonText.h"

std::string compactJson(const nlohmann::json& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception&) {
    return {};
  }
}

const char* returnedText(std::string text) {
  thread_local std::string held;
  held = std::move(text);
  return held.c_str();
}
