# Warnings, hardening and sanitizer flags shared by every target.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wformat=2)
if(KEEPWALL_WERROR)
  add_compile_options(-Werror)
endif()

add_compile_options(-fstack-protector-strong)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT KEEPWALL_SANITIZE)
  add_compile_definitions(_FORTIFY_SOURCE=2)
endif()
add_link_options(-Wl,-z,relro,-z,now)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

if(KEEPWALL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

# A fuzzing build instruments every library the fuzzers link, so libFuzzer sees their coverage.
if(KEEPWALL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
