// How a record becomes a journal entry: MESSAGE, PRIORITY (3 for errors, 5 otherwise) and, for
// records of a Log handle, the handle's subsystem and category as LOG_SUBSYSTEM and
// LOG_CATEGORY. Every value comes from the record; the field names are the platform's own.
#pragma once

#include <string>
#include <vector>

#include "log/Log.h"

namespace platform::log {

// "NAME=value" strings, in the order above.
std::vector<std::string> journalFields(const Record& record);

}  // namespace platform::log
