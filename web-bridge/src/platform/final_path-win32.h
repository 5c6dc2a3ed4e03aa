// The ordinary form of a final path, apart from GetFinalPathNameByHandleW so that its rules can
// be checked on made-up paths.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform::win32 {

// `final_path` as GetFinalPathNameByHandleW gives it (\\?\C:\..., \\?\UNC\server\share\...)
// in the form that programs show and store (C:\..., \\server\share\...), where that form names
// the same file: it fits within MAX_PATH and no component is one that ordinary paths read
// otherwise (a trailing dot or space, a device name such as NUL or COM1.txt, a character that
// is not allowed). Otherwise, and for any other form, `final_path` unchanged.
std::wstring ordinary_form(std::wstring_view final_path);

}  // namespace velmora::platform::win32
