// What the probe learns about how it was started; each answer is one word or short text, the
// same on every platform where the meaning is the same.
#pragma once

#include <string>

namespace velmora::launch_probe {

enum class StandardStream { Input, Output };

// "null" for the null device; otherwise what the stream is.
std::string describe(StandardStream stream);
// "none" when the probe holds no pipe or socket beyond its standard streams; otherwise what
// it holds.
std::string held_beyond_standard_streams();
// The current folder, as the platform writes it.
std::string current_folder();
// Further "key=value" lines, each ending in a line feed, where the platform has the notion: on
// POSIX the ignored and the blocked signals ("none", or their numbers) and whether the probe
// leads a session of its own ("own") or was left in its starter's ("inherited"); on Windows
// the command line as given.
std::string platform_lines();

}  // namespace velmora::launch_probe
