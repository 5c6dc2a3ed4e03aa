# Tests of the Windows build run under Wine, in a prefix of this build tree. Wine's own
# diagnostics stay off the error stream that the tests compare.
find_program(WINE64_LOADER wine64 PATHS /usr/lib/wine /usr/lib/wine64 NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(VELMORA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(VELMORA_WINE_ENV WINEDEBUG=-all WINEPREFIX=${VELMORA_WINEPREFIX})
# Wine maps its shared user data at 0x7ffe0000, and the kernel puts the heap of Wine's
# preloader anywhere in the gigabyte above the preloader, which lies just below that address:
# about one start in 3,000 the heap is there first, and Wine ends with status 1 before the
# program runs ("failed to map the shared user data"). Every Wine start of the tests therefore
# runs under a fixed address layout; children inherit it.
find_program(SETARCH setarch REQUIRED)
set(VELMORA_FIXED_LAYOUT ${SETARCH} -R)
set(CMAKE_CROSSCOMPILING_EMULATOR env ${VELMORA_WINE_ENV} ${VELMORA_FIXED_LAYOUT} ${WINE64_LOADER})

# The prefix is made once, before any test: Wine's first start takes seconds and prints to stderr.
add_test(NAME wine-prefix
         COMMAND ${VELMORA_FIXED_LAYOUT} ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh ${WINE64_LOADER}
                 ${VELMORA_WINEPREFIX})
set_tests_properties(wine-prefix PROPERTIES FIXTURES_SETUP wine)

# The executables must need no DLL beyond those of Windows itself.
function(velmora_check_self_contained target)
  add_test(NAME ${target}-self-contained
           COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-dlls.sh $<TARGET_FILE:${target}>)
endfunction()
