# Authenticode signing of the Windows programs and installers with osslsigncode, for a build
# given -DVELMORA_SIGNING_PFX=<file> (a PKCS#12 certificate and key). The password is read from
# the environment variable VELMORA_SIGNING_PASSWORD when a file is signed, so it never lands in
# the cache or the build files. Without the option nothing is signed and nothing changes.
set(VELMORA_SIGNING_PFX "" CACHE FILEPATH "PKCS#12 file to sign the programs and the MSIs with")
set(VELMORA_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signatures")

if(VELMORA_SIGNING_PFX)
  if(NOT EXISTS ${VELMORA_SIGNING_PFX})
    message(FATAL_ERROR "VELMORA_SIGNING_PFX: no file ${VELMORA_SIGNING_PFX}")
  endif()
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
endif()

# The command that signs `file` in place, for add_custom_command; empty without the option.
function(velmora_sign_command out file)
  set(command)
  if(VELMORA_SIGNING_PFX)
    set(command COMMAND ${CMAKE_COMMAND} -D OSSLSIGNCODE=${OSSLSIGNCODE}
                -D PFX=${VELMORA_SIGNING_PFX} -D TIMESTAMP_URL=${VELMORA_SIGNING_TIMESTAMP_URL}
                -D FILE=${file} -P ${PROJECT_SOURCE_DIR}/cmake/sign-file.cmake)
  endif()
  set(${out} ${command} PARENT_SCOPE)
endfunction()

# The programs as the installers take them: signed copies under signed/ when signing, so that a
# new certificate re-signs them without a rebuild; else the built files themselves.
function(velmora_signed_program out target)
  if(NOT VELMORA_SIGNING_PFX)
    set(${out} $<TARGET_FILE:${target}> PARENT_SCOPE)
    return()
  endif()
  set(signed ${CMAKE_BINARY_DIR}/signed/${target}${CMAKE_EXECUTABLE_SUFFIX})
  velmora_sign_command(sign ${signed})
  add_custom_command(
    OUTPUT ${signed}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${signed} ${sign}
    DEPENDS ${target} ${VELMORA_SIGNING_PFX}
    COMMENT "Signing ${target}"
    VERBATIM)
  set(${out} ${signed} PARENT_SCOPE)
endfunction()
