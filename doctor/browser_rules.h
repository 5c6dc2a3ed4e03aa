// How each browser family reads a host manifest and walks its places, as data. Each rule says
// where it comes from: a behaviour seen with Debian's Chromium 156 and Firefox ESR 153, or the
// browser's source. Linux and Windows share them: the parsers are the same on both.
#pragma once

#include <cstdint>
#include <string_view>

#include "family.h"

namespace velmora::doctor {

struct FamilyRules {
  registration::Family family;
  std::string_view list_key;  // the list that names the extensions allowed to start the host
  bool byte_order_mark;       // a UTF-8 byte-order mark before the JSON is skipped
  bool comments;              // "//" and "/* */" comments are read as blanks
  bool empty_description;     // "description": "" is taken
  bool unknown_keys;          // keys other than the five it knows are ignored
  bool falls_back;            // a file it cannot use sends it on to its next place
  // The largest manifest it reads, in bytes, or 0 where none is known.
  std::uintmax_t manifest_limit;
  // A host file with neither a "#!" line nor a binary's header is run by /bin/sh, as execvp
  // does on ENOEXEC (POSIX only: Windows browsers start a program or cmd.exe).
  bool script_fallback;
  // What a Flatpak or snap install of the family can reach, after "<browser> is installed as
  // ...,", and what a browser whose folder sits inside its own bundle needs.
  std::string_view flatpak;
  std::string_view snap;
  std::string_view bundled;
};

// The Chromium family has neither the portal nor the proxy of Firefox, in Flatpak or in snap.
inline constexpr std::string_view CHROMIUM_SANDBOXED =
    "which can start no host: its sandbox sees none of the folders above and it has no portal "
    "for native messaging; install the browser's own package (.deb or .rpm) instead";

inline constexpr FamilyRules CHROMIUM_RULES{
    .family = registration::Family::Chromium,
    .list_key = "allowed_origins",
    .byte_order_mark = true,     // seen: it links (base::JSONReader skips the mark)
    .comments = true,            // seen: a leading "//" comment links
    .empty_description = false,  // seen: "Invalid value for description"
    .unknown_keys = true,        // seen: "allowed_extensions" and "version" beside it link
    .falls_back = false,         // seen: a broken per-user file hides a sound system one
    .manifest_limit = 0,         // seen: padded with blanks to 1 GiB + 64 MiB a manifest links;
                                 // to 2 GiB + 64 MiB it had not linked after 2 minutes
    .script_fallback = true,     // seen: a wrapper without "#!" links (base::LaunchProcess
                                 // starts the host with execvp)
    .flatpak = CHROMIUM_SANDBOXED,
    .snap = CHROMIUM_SANDBOXED,
    .bundled =
        "the doctor cannot know where it was unpacked, so it cannot check it; copy there "
        "the manifest that velmora-register-host install --browser chromium writes",
};

inline constexpr FamilyRules FIREFOX_RULES{
    .family = registration::Family::Firefox,
    .list_key = "allowed_extensions",
    .byte_order_mark = true,    // seen: it links (the file is decoded as UTF-8 text first)
    .comments = false,          // seen: a "//" comment is refused (JSON.parse)
    .empty_description = true,  // seen: it links
    .unknown_keys = false,      // seen: "version" or "allowed_origins" beside it is refused
                                // (schemas/native_manifest.json has no other properties)
    .falls_back = true,         // seen: a broken per-user file, a sound one in /usr/lib/mozilla
                                // links (NativeManifests.sys.mjs tries each place in turn)
    // Seen: padded with blanks to 1 GiB - 64 MiB a manifest links, to 1 GiB + 64 MiB it does not;
    // the file becomes one JavaScript string, at most 2^30 - 2 characters (JS::MaxStringLength).
    .manifest_limit = (std::uintmax_t{1} << 30) - 2,
    .script_fallback = false,  // seen: a wrapper without "#!" does not start (Subprocess
                               // spawns it directly, with no shell behind)
    // Firefox 157 and later: the proxy, not Firefox, starts the host.
    .flatpak =
        "which from version 157 can start hosts through xdg-native-messaging-proxy, behind "
        "a preference that is off by default: turn it on in about:config (older versions "
        "see none of the folders above); the proxy starts the host with its own "
        "environment, so the host looks for the agent's bridge file through the proxy's "
        "HOME and XDG_CONFIG_HOME",
    // Ubuntu's snap carries a patch that asks the WebExtensions portal to start the host.
    .snap =
        "which reaches hosts through the WebExtensions portal (Ubuntu's snap); grant the "
        "extension the permission when Firefox asks for it",
    .bundled =
        "the doctor cannot know where it was unpacked, so it cannot check it; copy there "
        "the manifest that velmora-register-host install --browser firefox writes",
};

inline const FamilyRules& rules_of(registration::Family family) {
  return family == registration::Family::Firefox ? FIREFOX_RULES : CHROMIUM_RULES;
}

}  // namespace velmora::doctor
