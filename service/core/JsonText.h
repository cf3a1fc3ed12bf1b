// Holds the text a C-linkage builder returns until the same thread calls a builder again;
// callers copy it at once.
#pragma once

#include <string>

const char* returnedText(std::string text);
