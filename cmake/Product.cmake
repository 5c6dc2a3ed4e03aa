# The product's facts, one definition each: its version, the host's name in the browsers'
# registrations, and the extensions that the manifests allow. Included before project(), which
# takes the version; velmora_product (product.h) hands them to the host, the doctor and the tests.
set(VELMORA_VERSION 0.1.0)
set(VELMORA_HOST_NAME com.velmora.web_host)
set(VELMORA_CHROMIUM_EXTENSION_IDS nolcchlhldhgapfjagmmlapaeogddcle CACHE STRING
    "IDs of the Chrome, Chromium and Edge extensions that the host manifests allow (a list)")
set(VELMORA_FIREFOX_EXTENSION_IDS web-host-test@velmora.com CACHE STRING
    "IDs of the Firefox extensions that the host manifest allows (a list)")

# A list as the elements of a C++ array of string literals.
function(velmora_as_literals list out)
  list(TRANSFORM list PREPEND "\"")
  list(TRANSFORM list APPEND "\"")
  list(JOIN list ", " literals)
  set(${out} "${literals}" PARENT_SCOPE)
endfunction()

velmora_as_literals("${VELMORA_CHROMIUM_EXTENSION_IDS}" VELMORA_CHROMIUM_ID_LITERALS)
velmora_as_literals("${VELMORA_FIREFOX_EXTENSION_IDS}" VELMORA_FIREFOX_ID_LITERALS)
list(LENGTH VELMORA_CHROMIUM_EXTENSION_IDS VELMORA_CHROMIUM_ID_COUNT)
list(LENGTH VELMORA_FIREFOX_EXTENSION_IDS VELMORA_FIREFOX_ID_COUNT)
configure_file(${CMAKE_CURRENT_LIST_DIR}/product.h.in ${CMAKE_BINARY_DIR}/generated/product.h @ONLY)
