# Warnings are errors in every build; sanitizers are opt-in for the native build.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Wconversion -Wsign-conversion -Werror)
if(VELMORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VELMORA_TSAN)
  if(VELMORA_SANITIZE OR VELMORA_FUZZ)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(VELMORA_FUZZ)
  # Coverage for libFuzzer everywhere; only the fuzz targets link the fuzzer's main (fuzz/).
  # libstdc++ 12's stable_sort calls its own deprecated get_temporary_buffer, which clang flags.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -Wno-deprecated-declarations)
  add_link_options(-fsanitize=address,undefined)
endif()
if(WIN32)
  # One self-contained executable: no libstdc++, libgcc or winpthread DLLs beside it.
  add_link_options(-static)
  # Windows 10 is the oldest system supported: the application manifest and the MSI say the same.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00)
endif()
