# The Windows installers, built by wixl (target `msi`): per user, velmora-web-host-<version>.msi,
# and per machine, velmora-web-host-<version>-per-machine.msi, from one source.
# It takes a second or two, so it is part of `all`, and the MSI test can count on it.
find_program(WIXL wixl REQUIRED)
set(msi_source ${CMAKE_CURRENT_SOURCE_DIR}/windows/velmora-web-host.wxs)
# The installer puts the manifests beside the host, so they name it by its file name alone.
set(msi_manifest_dir ${CMAKE_CURRENT_BINARY_DIR}/msi-manifests)
velmora_write_manifests(${msi_manifest_dir} ${VELMORA_HOST_NAME} ${host_file}
                        "${VELMORA_CHROMIUM_EXTENSION_IDS}" "${VELMORA_FIREFOX_EXTENSION_IDS}" TRUE)

# The programs the packages take, signed when the build signs (cmake/Sign.cmake).
velmora_signed_program(msi_host velmora-web-host)
velmora_signed_program(msi_agent velmora-agent)
velmora_signed_program(msi_doctor velmora-doctor)

# wixl 0.101 finds its sources by relative paths only, so it runs in the build tree.
function(velmora_add_msi msi version scope)
  set(from ${CMAKE_BINARY_DIR})
  velmora_sign_command(sign ${msi})
  add_custom_command(
    OUTPUT ${msi}
    COMMAND ${WIXL} --arch x64 --output ${msi} -D Version=${version} -D Scope=${scope}
            -D HostName=${VELMORA_HOST_NAME}
            -D HostExe=$<PATH:RELATIVE_PATH,${msi_host},${from}>
            -D AgentExe=$<PATH:RELATIVE_PATH,${msi_agent},${from}>
            -D DoctorExe=$<PATH:RELATIVE_PATH,${msi_doctor},${from}>
            -D ManifestDir=$<PATH:RELATIVE_PATH,${msi_manifest_dir},${from}> ${msi_source} ${sign}
    DEPENDS velmora-web-host velmora-agent velmora-doctor ${msi_host} ${msi_agent} ${msi_doctor}
            ${msi_source} ${msi_manifest_dir}/chrome/${VELMORA_HOST_NAME}.json
            ${msi_manifest_dir}/firefox/${VELMORA_HOST_NAME}.json
    WORKING_DIRECTORY ${from}
    COMMENT "Building ${msi}"
    VERBATIM)
endfunction()

# Each package also as an older version, for the test to upgrade from.
set(older_version 0.0.1)
if(NOT older_version VERSION_LESS PROJECT_VERSION)
  message(FATAL_ERROR "the upgrade test needs a version older than ${PROJECT_VERSION}")
endif()
set(msi_packages)
foreach(scope perUser perMachine)
  set(suffix "")
  if(scope STREQUAL perMachine)
    set(suffix -per-machine)
  endif()
  set(msi_${scope} ${CMAKE_BINARY_DIR}/velmora-web-host-${PROJECT_VERSION}${suffix}.msi)
  set(older_msi_${scope} ${CMAKE_CURRENT_BINARY_DIR}/velmora-web-host-${older_version}${suffix}.msi)
  velmora_add_msi(${msi_${scope}} ${PROJECT_VERSION} ${scope})
  velmora_add_msi(${older_msi_${scope}} ${older_version} ${scope})
  list(APPEND msi_packages ${msi_${scope}} ${older_msi_${scope}})
endforeach()
add_custom_target(msi ALL DEPENDS ${msi_packages})

# Installs, upgrades, uses and uninstalls the package under Wine, in a prefix of its own made
# afresh (`ctest -L msi` runs it alone).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME msi.round-trip
         COMMAND ${VELMORA_FIXED_LAYOUT} ${Python3_EXECUTABLE}
                 ${PROJECT_SOURCE_DIR}/tests/msi/msi_test.py
                 --loader ${WINE64_LOADER} --prefix ${CMAKE_CURRENT_BINARY_DIR}/msi-wineprefix
                 --msi ${msi_perUser} --older-msi ${older_msi_perUser}
                 --machine-msi ${msi_perMachine} --older-machine-msi ${older_msi_perMachine}
                 --host $<TARGET_FILE:velmora-web-host> --agent $<TARGET_FILE:velmora-agent>
                 --doctor $<TARGET_FILE:velmora-doctor>
                 --launch-driver $<TARGET_FILE:windows_launch_tests>
                 --chromium-ids ${VELMORA_CHROMIUM_EXTENSION_IDS}
                 --firefox-ids ${VELMORA_FIREFOX_EXTENSION_IDS})
set_tests_properties(msi.round-trip PROPERTIES LABELS msi TIMEOUT 600
                     ENVIRONMENT VELMORA_HOST_NAME=${VELMORA_HOST_NAME})

# A signed build of its own (cmake/Sign.cmake) with a throwaway certificate: every signature
# verified, then the same round trip on the signed packages. Its tree is kept, so only the first
# run compiles.
if(NOT VELMORA_SIGNING_PFX)
  add_test(NAME msi.signing
           COMMAND ${VELMORA_FIXED_LAYOUT} ${Python3_EXECUTABLE}
                   ${PROJECT_SOURCE_DIR}/tests/msi/signing_test.py
                   --source ${PROJECT_SOURCE_DIR} --build ${CMAKE_CURRENT_BINARY_DIR}/signed-build
                   --version ${PROJECT_VERSION} --older-version ${older_version}
                   --loader ${WINE64_LOADER} --launch-driver $<TARGET_FILE:windows_launch_tests>
                   --chromium-ids ${VELMORA_CHROMIUM_EXTENSION_IDS}
                   --firefox-ids ${VELMORA_FIREFOX_EXTENSION_IDS})
  set_tests_properties(msi.signing PROPERTIES LABELS "msi;msi.signing" TIMEOUT 1800
                       ENVIRONMENT VELMORA_HOST_NAME=${VELMORA_HOST_NAME})
endif()
