# Compile options shared by every target of the project.
add_library(halvenor_options INTERFACE)
target_compile_options(halvenor_options INTERFACE -Wall -Wextra)
if(HALVENOR_WERROR)
  target_compile_options(halvenor_options INTERFACE -Werror)
endif()

if(HALVENOR_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(HALVENOR_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
  # GCC's TSan cannot instrument the fences in Boost.Asio's headers and warns about each one.
  target_compile_options(halvenor_options INTERFACE -Wno-tsan)
elseif(NOT HALVENOR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HALVENOR_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(HALVENOR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "HALVENOR_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # Coverage for libFuzzer in every library; the fuzz targets link the fuzzer's main.
  set(_san -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
endif()
if(_san)
  target_compile_options(halvenor_options INTERFACE ${_san})
  target_link_options(halvenor_options INTERFACE ${_san})
endif()

# Collects the sources of one folder: every .cpp directly in it. Platform files are
# named for their platform and there is only one platform, so all of them belong.
function(halvenor_sources out dir)
  file(GLOB _files CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(${out} ${_files} PARENT_SCOPE)
endfunction()
