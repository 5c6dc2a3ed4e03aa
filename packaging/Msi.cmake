# The per-user Windows installer, velmora-web-host-<version>.msi, built by wixl (target `msi`).
# It takes a second or two, so it is part of `all`, and the MSI test can count on it.
find_program(WIXL wixl REQUIRED)
set(msi_source ${CMAKE_CURRENT_SOURCE_DIR}/windows/velmora-web-host.wxs)
# The installer puts the manifests beside the host, so they name it by its file name alone.
set(msi_manifest_dir ${CMAKE_CURRENT_BINARY_DIR}/msi-manifests)
velmora_write_manifests(${msi_manifest_dir} ${VELMORA_HOST_NAME} ${host_file}
                        "${VELMORA_CHROMIUM_EXTENSION_IDS}" "${VELMORA_FIREFOX_EXTENSION_IDS}" TRUE)

# wixl 0.101 finds its sources by relative paths only, so it runs in the build tree.
function(velmora_add_msi msi version)
  set(from ${CMAKE_BINARY_DIR})
  add_custom_command(
    OUTPUT ${msi}
    COMMAND ${WIXL} --arch x64 --output ${msi} -D Version=${version}
            -D HostExe=$<PATH:RELATIVE_PATH,$<TARGET_FILE:velmora-web-host>,${from}>
            -D AgentExe=$<PATH:RELATIVE_PATH,$<TARGET_FILE:velmora-agent>,${from}>
            -D DoctorExe=$<PATH:RELATIVE_PATH,$<TARGET_FILE:velmora-doctor>,${from}>
            -D ManifestDir=$<PATH:RELATIVE_PATH,${msi_manifest_dir},${from}> ${msi_source}
    DEPENDS velmora-web-host velmora-agent velmora-doctor ${msi_source} ${msi_manifest_dir}/chrome/${VELMORA_HOST_NAME}.json
            ${msi_manifest_dir}/firefox/${VELMORA_HOST_NAME}.json
    WORKING_DIRECTORY ${from}
    COMMENT "Building ${msi}"
    VERBATIM)
endfunction()

set(VELMORA_MSI ${CMAKE_BINARY_DIR}/velmora-web-host-${PROJECT_VERSION}.msi)
velmora_add_msi(${VELMORA_MSI} ${PROJECT_VERSION})
# The same package as an older version, for the test to upgrade from.
set(older_version 0.0.1)
if(NOT older_version VERSION_LESS PROJECT_VERSION)
  message(FATAL_ERROR "the upgrade test needs a version older than ${PROJECT_VERSION}")
endif()
set(older_msi ${CMAKE_CURRENT_BINARY_DIR}/velmora-web-host-${older_version}.msi)
velmora_add_msi(${older_msi} ${older_version})
add_custom_target(msi ALL DEPENDS ${VELMORA_MSI} ${older_msi})

# Installs, upgrades, uses and uninstalls the package under Wine, in a prefix of its own made
# afresh (`ctest -L msi` runs it alone).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME msi.round-trip
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/msi/msi_test.py
                 --loader ${WINE64_LOADER} --prefix ${CMAKE_CURRENT_BINARY_DIR}/msi-wineprefix
                 --msi ${VELMORA_MSI} --older-msi ${older_msi}
                 --host $<TARGET_FILE:velmora-web-host> --agent $<TARGET_FILE:velmora-agent>
                 --doctor $<TARGET_FILE:velmora-doctor>
                 --launch-driver $<TARGET_FILE:windows_launch_tests>
                 --chromium-ids ${VELMORA_CHROMIUM_EXTENSION_IDS}
                 --firefox-ids ${VELMORA_FIREFOX_EXTENSION_IDS})
set_tests_properties(msi.round-trip PROPERTIES LABELS msi TIMEOUT 300)
