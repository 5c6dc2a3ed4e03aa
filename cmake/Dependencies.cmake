# nlohmann/json is header-only: the cross build borrows the host's headers through a private
# include folder, so that no other host header leaks into the Windows compile.
if(CMAKE_CROSSCOMPILING)
  find_path(NLOHMANN_JSON_ROOT nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
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
  find_package(nlohmann_json 3.10 REQUIRED)
  find_package(GTest REQUIRED)
endif()
find_package(Threads REQUIRED)
