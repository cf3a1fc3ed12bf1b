// Texts the user sees: looked up by key in the running program's bundle, default table; the key
// itself when there is no translation (or no bundle).
#pragma once

#include <string>
#include <vector>

std::string localizedString(const std::string& key);
// For a program that lives in no bundle (the command line): the bundle whose tables it uses.
// Call before the first text is looked up, while no other thread looks any up.
void useLocalizationBundle(const std::string& bundlePath);
// The translation of key used as a "%@" format with the given texts.
std::string localizedFormat(const std::string& key, const std::vector<std::string>& args);
