# The system-wide Linux packages, a .deb and an .rpm, made by CPack from the install() rules under
# /usr, with the host's manifest in the system folder of every browser in the browser table. The
# target `packages` makes both in <build>/packages. The browser table is read before (CMakeLists.txt).

set(package_prefix /usr)
set(package_manifests ${CMAKE_CURRENT_BINARY_DIR}/system-manifests)
velmora_write_manifests(${package_manifests} ${VELMORA_HOST_NAME}
                        "${package_prefix}/bin/${host_file}" "${VELMORA_CHROMIUM_EXTENSION_IDS}"
                        "${VELMORA_FIREFOX_EXTENSION_IDS}" FALSE)

# Each distinct system folder once, with its family's manifest. A folder in /usr/lib64 is for the
# RPM systems, whose 64-bit browsers look there; its /usr/lib twin then goes into the .deb alone.
# The folders are outside the prefix, so only the packages install them (EXCLUDE_FROM_ALL): a
# `cmake --install --prefix` stays inside its prefix.
#
# Every manifest in /etc is the administrator's to change: a conffile in the .deb and
# %config(noreplace) in the .rpm, so that an edit outlives an upgrade, a reinstall and a removal,
# and only a purge takes it. No maintainer script touches them. dpkg takes away on purge the
# empty folders the package lists that no other installed package lists: so /etc/opt too, which
# base-files makes without listing it, when nothing else is left in it.
set(system_folders "")
set(etc_manifests "")
set(rpm_files "")
foreach(id IN LISTS VELMORA_BROWSERS)
  foreach(folder IN LISTS VELMORA_BROWSER_${id}_SYSTEM)
    if(folder IN_LIST system_folders)
      continue()
    endif()
    list(APPEND system_folders ${folder})
    string(REGEX REPLACE "^/usr/lib/" "/usr/lib64/" twin "${folder}")
    set(component system)
    if(folder MATCHES "^/usr/lib64/")
      set(component system-rpm)
    elseif(NOT twin STREQUAL folder AND twin IN_LIST VELMORA_BROWSER_${id}_SYSTEM)
      set(component system-deb)
    endif()
    set(manifest firefox)
    if(VELMORA_BROWSER_${id}_FAMILY STREQUAL "chromium")
      set(manifest chrome)
    endif()
    install(FILES ${package_manifests}/${manifest}/${VELMORA_HOST_NAME}.json DESTINATION ${folder}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    set(path ${folder}/${VELMORA_HOST_NAME}.json)
    set(rpm_file "%attr(644,root,root) ${path}")
    if(folder MATCHES "^/etc/")
      list(APPEND etc_manifests ${path})
      set(rpm_file "%config(noreplace) ${path}")
    endif()
    if(NOT component STREQUAL "system-deb")
      list(APPEND rpm_files "${rpm_file}")
    endif()
  endforeach()
endforeach()

# The manual pages, for every installation, and Debian's documentation files: the copyright and
# the changelog. Compressed as Debian wants them.
find_program(GZIP gzip REQUIRED)
function(_velmora_gzip source compressed)
  execute_process(COMMAND ${GZIP} -9n --stdout ${source} OUTPUT_FILE ${compressed}
                  COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
foreach(program velmora-web-host velmora-agent velmora-doctor velmora-register-host)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.gz)
  _velmora_gzip(${CMAKE_CURRENT_SOURCE_DIR}/linux/man/${program}.1 ${page})
  install(FILES ${page} DESTINATION share/man/man1)
endforeach()
_velmora_gzip(${CMAKE_CURRENT_SOURCE_DIR}/linux/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES linux/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION share/doc/${PROJECT_NAME} COMPONENT system-deb EXCLUDE_FROM_ALL)
list(JOIN etc_manifests "\n" conffiles)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "${conffiles}\n")
# Chrome and the browsers built on it read system manifests from /etc/opt alone, which lintian
# keeps for software from outside Debian: this package is such software.
install(FILES linux/lintian-overrides DESTINATION share/lintian/overrides RENAME ${PROJECT_NAME}
        COMPONENT system-deb EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_CONTACT "Velmora developers <developers@velmora.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native-messaging host for the Velmora browser extension")
# Debian wants its lines shorter than 80.
set(CPACK_PACKAGE_DESCRIPTION
    "The host links the Velmora browser extension in Chrome, Chromium, Edge,
Brave, Vivaldi, Opera, Firefox and Waterfox to the Velmora desktop agent.
The package registers it system-wide for those browsers, and holds the
sample agent, velmora-doctor to check a registration, and
velmora-register-host to register the host for one user instead.")
set(CPACK_PACKAGE_HOMEPAGE_URL https://velmora.com)
set(CPACK_PACKAGING_INSTALL_PREFIX ${package_prefix})
set(CPACK_STRIP_FILES TRUE)
# The manifests name the host by its path in /usr.
set(CPACK_PACKAGE_RELOCATABLE FALSE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE Proprietary)
set(CPACK_RPM_PACKAGE_GROUP Applications/Internet)
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# Each named with a directive (CPack takes none bare), or CPack would make every file outside
# the prefix %config, those in /usr/lib too.
set(CPACK_RPM_USER_FILELIST ${rpm_files})
# No /usr/lib/.build-id links: the package ships no debug information to find by them.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")
# These are the system's, not this package's, to own and remove.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /etc/opt /usr/share/man /usr/share/man/man1)
# Per generator: the common files and that package's own system folders.
set(package_components ${CMAKE_CURRENT_BINARY_DIR}/PackageComponents.cmake)
file(CONFIGURE OUTPUT ${package_components} @ONLY CONTENT [[
# Which install() components go into the package CPack is making now.
set(_project "@CMAKE_BINARY_DIR@;@PROJECT_NAME@")
set(_own system-deb)
if(CPACK_GENERATOR STREQUAL "RPM")
  set(_own system-rpm)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${_project};Unspecified;/;${_project};system;/;${_project};${_own};/")
]])
set(CPACK_PROJECT_CONFIG_FILE ${package_components})
set(CPACK_GENERATOR DEB RPM)
include(CPack)

# Afresh each time, so that the folder holds the packages of this version alone.
add_custom_target(packages COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/packages
                  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM
                  COMMENT "Making the .deb and the .rpm in ${CMAKE_BINARY_DIR}/packages")
add_dependencies(packages velmora-web-host velmora-agent velmora-doctor)
