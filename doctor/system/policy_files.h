// Chromium's managed policy folder on Linux as Chromium reads it, for the native-messaging
// policies: every file, in name order, each policy taken whole from the last file that sets it,
// parsed as leniently as Chromium's own reader for policy files.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "system/browsers.h"

namespace velmora::doctor::system {

// The policies of `managed` that Chromium applies: one entry per policy set, naming its file.
std::vector<Policy> chromium_policies(const std::filesystem::path& managed);

// The text with each trailing comma (before "]" or "}", blanks and comments between) made a blank,
// so that a strict parser that skips comments reads what Chromium reads.
std::string without_trailing_commas(std::string_view text);

}  // namespace velmora::doctor::system
