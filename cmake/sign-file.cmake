# Signs FILE in place with osslsigncode (cmake -P, from cmake/Sign.cmake): PFX, the password from
# the environment variable VELMORA_SIGNING_PASSWORD (handed over on a pipe, not on a command
# line), and TIMESTAMP_URL when given.
if(NOT DEFINED ENV{VELMORA_SIGNING_PASSWORD})
  message(FATAL_ERROR "signing ${FILE}: set VELMORA_SIGNING_PASSWORD to the password of ${PFX}")
endif()
set(timestamp)
if(TIMESTAMP_URL)
  set(timestamp -ts ${TIMESTAMP_URL})
endif()
set(unsigned ${FILE}.unsigned)
file(RENAME ${FILE} ${unsigned})
execute_process(
  COMMAND printenv VELMORA_SIGNING_PASSWORD
  COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${PFX} -readpass - -h sha256 -n "Velmora Web Host"
          ${timestamp} -in ${unsigned} -out ${FILE}
  RESULTS_VARIABLE results
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
file(REMOVE ${unsigned})
if(NOT results MATCHES "^0;0$")
  file(REMOVE ${FILE})
  message(FATAL_ERROR "osslsigncode could not sign ${FILE} (${results}):\n${output}")
endif()
