// How each browser family reads a host manifest and walks its places, as data. Each rule says
// where it comes from: a behaviour seen with Debian's Chromium 156 and Firefox ESR 153, or the
// browser's source. Linux and Windows share them: the parsers are the same on both.
#pragma once

#include <string_view>

#include "system/browsers.h"

namespace velmora::doctor {

struct FamilyRules {
  system::Family family;
  std::string_view list_key;  // the list that names the extensions allowed to start the host
  bool byte_order_mark;       // a UTF-8 byte-order mark before the JSON is skipped
  bool comments;              // "//" and "/* */" comments are read as blanks
  bool empty_description;     // "description": "" is taken
  bool unknown_keys;          // keys other than the five it knows are ignored
  bool falls_back;            // a file it cannot use sends it on to its next place
};

inline constexpr FamilyRules CHROMIUM_RULES{
    .family = system::Family::Chromium,
    .list_key = "allowed_origins",
    .byte_order_mark = true,     // seen: it links (base::JSONReader skips the mark)
    .comments = true,            // seen: a leading "//" comment links
    .empty_description = false,  // seen: "Invalid value for description"
    .unknown_keys = true,        // seen: "allowed_extensions" and "version" beside it link
    .falls_back = false,         // seen: a broken per-user file hides a sound system one
};

inline constexpr FamilyRules FIREFOX_RULES{
    .family = system::Family::Firefox,
    .list_key = "allowed_extensions",
    .byte_order_mark = true,    // seen: it links (the file is decoded as UTF-8 text first)
    .comments = false,          // seen: a "//" comment is refused (JSON.parse)
    .empty_description = true,  // seen: it links
    .unknown_keys = false,      // seen: "version" or "allowed_origins" beside it is refused
                                // (schemas/native_manifest.json has no other properties)
    .falls_back = true,         // seen: a broken per-user file, a sound one in /usr/lib/mozilla
                                // links (NativeManifests.sys.mjs tries each place in turn)
};

inline const FamilyRules& rules_of(system::Family family) {
  return family == system::Family::Firefox ? FIREFOX_RULES : CHROMIUM_RULES;
}

}  // namespace velmora::doctor
