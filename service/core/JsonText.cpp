#include "core/JsonText.h"

const char* returnedText(std::string text) {
  thread_local std::string held;
  held = std::move(text);
  return held.c_str();
}
