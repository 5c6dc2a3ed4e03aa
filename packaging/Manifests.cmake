# velmora_write_manifests: writes the native-messaging host manifests for Chrome (and Chromium),
# Edge and Firefox from the templates beside this file, into <out_dir>/{chrome,edge,firefox}/,
# each named after the host as the browsers require. Used at configure time and again at install
# time, so that the manifests name the folder the host is actually installed in.
set(_velmora_manifest_templates ${CMAKE_CURRENT_LIST_DIR})

# The text escaped for a JSON string: a Windows path is full of backslashes.
function(_velmora_json_escape out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Quoted, comma-separated entries of a JSON array; every ID must match `pattern`.
function(_velmora_json_list out pattern prefix suffix)
  set(items "")
  foreach(id IN LISTS ARGN)
    if(NOT id MATCHES "${pattern}")
      message(FATAL_ERROR "not a valid extension ID: '${id}'")
    endif()
    list(APPEND items "\"${prefix}${id}${suffix}\"")
  endforeach()
  list(JOIN items ", " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

# `windows_paths`: write the path with backslashes, as Windows shows it. Windows browsers also take
# a bare file name, from the manifest's own folder.
function(velmora_write_manifests out_dir host_name host_path chromium_ids firefox_ids windows_paths)
  if(windows_paths AND NOT host_path MATCHES "[/\\]")
  elseif(NOT IS_ABSOLUTE "${host_path}" AND NOT host_path MATCHES "^[A-Za-z]:/")
    message(FATAL_ERROR "the host manifests need an absolute path, not '${host_path}'")
  endif()
  if(windows_paths)
    string(REPLACE "/" "\\" host_path "${host_path}")
  endif()
  set(host_description "Links the Velmora browser extension to the Velmora desktop agent")
  _velmora_json_escape(host_path "${host_path}")
  # A Chromium extension ID: 32 letters a to p.
  string(REPEAT "[a-p]" 32 chromium_id)
  _velmora_json_list(allowed "^${chromium_id}$" "chrome-extension://" "/" ${chromium_ids})
  foreach(browser chrome edge)
    configure_file(${_velmora_manifest_templates}/manifest-chromium.json.in
                   ${out_dir}/${browser}/${host_name}.json @ONLY)
  endforeach()
  _velmora_json_list(allowed "^[A-Za-z0-9._@{}+-]+$" "" "" ${firefox_ids})
  configure_file(${_velmora_manifest_templates}/manifest-firefox.json.in
                 ${out_dir}/firefox/${host_name}.json @ONLY)
endfunction()
