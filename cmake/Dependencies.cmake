# nlohmann/json 3.x from this release on: its SAX interface as the parser uses it.
set(VELMORA_NLOHMANN_JSON_VERSION 3.10)
set(_json_required "nlohmann/json 3.x, ${VELMORA_NLOHMANN_JSON_VERSION} or later, is required")

# The version that the headers under `root` declare (in json.hpp or, since 3.11, in a detail
# header), in `out`.
function(velmora_json_header_version root out)
  file(GLOB _headers ${root}/nlohmann/json.hpp ${root}/nlohmann/detail/abi_macros.hpp)
  set(_defines)
  foreach(_header IN LISTS _headers)
    file(STRINGS ${_header} _lines REGEX "^#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) ")
    list(APPEND _defines ${_lines})
  endforeach()
  set(_version)
  foreach(_part MAJOR MINOR PATCH)
    string(REGEX MATCH "VERSION_${_part} +([0-9]+)" _ignored "${_defines}")
    list(APPEND _version "${CMAKE_MATCH_1}")
  endforeach()
  list(JOIN _version . _version)
  set(${out} ${_version} PARENT_SCOPE)
endfunction()

# The library is header-only: the cross build borrows the host's headers through a private
# include folder, so that no other host header leaks into the Windows compile.
if(CMAKE_CROSSCOMPILING)
  find_path(NLOHMANN_JSON_ROOT nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  velmora_json_header_version(${NLOHMANN_JSON_ROOT} _json_version)
  if(_json_version VERSION_LESS VELMORA_NLOHMANN_JSON_VERSION OR _json_version VERSION_GREATER_EQUAL 4)
    message(FATAL_ERROR "${_json_required}; ${NLOHMANN_JSON_ROOT} has '${_json_version}'")
  endif()
  set(_json_include ${CMAKE_BINARY_DIR}/deps/include)
  file(MAKE_DIRECTORY ${_json_include})
  file(CREATE_LINK ${NLOHMANN_JSON_ROOT}/nlohmann ${_json_include}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${_json_include})

  # GoogleTest from Debian's source package, built with the cross compiler.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(nlohmann_json ${VELMORA_NLOHMANN_JSON_VERSION})
  if(NOT nlohmann_json_FOUND)
    message(FATAL_ERROR "${_json_required}")
  endif()
  find_package(GTest REQUIRED)
endif()
find_package(Threads REQUIRED)
