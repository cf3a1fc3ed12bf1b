// Compact JSON text for frames: the empty text when the value cannot be encoded (for example
// a string that is not UTF-8), so that callers send an empty frame instead.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

std::string compactJson(const nlohmann::json& value);

// Holds the text a C-linkage builder returns until the same thread calls a builder again;
// callers copy it at once.
const char* returnedText(std::string text);
