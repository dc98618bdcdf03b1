# Settings shared by every target of the project.

if(WIN32)
  # The plug-in must run with nothing beside it: link the C and C++ runtimes and
  # winpthread statically into every binary.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501 STRICT)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # No path of the checkout or the build folder in any binary (__FILE__, debug
  # information): two clones in different folders build the same bytes.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=;-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
  # Entry points found with GetProcAddress are cast to their real types.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-cast-function-type>)
  # Libraries built for MinGW at set-up, linked statically: the plug-in needs no DLL beside it.
  set(N2_BZIP2_ROOT "/opt/n2deps/bzip2" CACHE PATH "bzip2 built for MinGW")
  set(N2_LIBDEFLATE_ROOT "/opt/n2deps/libdeflate" CACHE PATH "libdeflate built for MinGW")
  add_library(N2::libdeflate STATIC IMPORTED)
  set_target_properties(N2::libdeflate PROPERTIES
    IMPORTED_LOCATION "${N2_LIBDEFLATE_ROOT}/lib/libdeflate.a"
    INTERFACE_INCLUDE_DIRECTORIES "${N2_LIBDEFLATE_ROOT}/include")
  # Its compressor built for processors with SSE2 as well, chosen at run time.
  add_library(N2::libdeflate_sse2 STATIC IMPORTED)
  set_target_properties(N2::libdeflate_sse2 PROPERTIES
    IMPORTED_LOCATION "${N2_LIBDEFLATE_ROOT}/lib/libdeflate_sse2.a"
    INTERFACE_COMPILE_DEFINITIONS N2_DEFLATE_SSE2)
  add_library(N2::bzip2 STATIC IMPORTED)
  set_target_properties(N2::bzip2 PROPERTIES
    IMPORTED_LOCATION "${N2_BZIP2_ROOT}/lib/libbz2.a"
    INTERFACE_INCLUDE_DIRECTORIES "${N2_BZIP2_ROOT}/include")
  # zlib's streams for large cards: Debian's static library for MinGW (never its DLL).
  find_library(N2_ZLIB_STATIC NAMES libz.a PATHS /usr/i686-w64-mingw32/lib NO_DEFAULT_PATH REQUIRED)
  add_library(N2::zlib STATIC IMPORTED)
  set_target_properties(N2::zlib PROPERTIES IMPORTED_LOCATION "${N2_ZLIB_STATIC}")
else()
  find_path(N2_LIBDEFLATE_INCLUDE libdeflate.h REQUIRED)
  find_library(N2_LIBDEFLATE_LIBRARY deflate REQUIRED)
  add_library(N2::libdeflate UNKNOWN IMPORTED)
  set_target_properties(N2::libdeflate PROPERTIES
    IMPORTED_LOCATION "${N2_LIBDEFLATE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${N2_LIBDEFLATE_INCLUDE}")
  find_package(BZip2 REQUIRED)
  add_library(N2::bzip2 ALIAS BZip2::BZip2)
  find_package(ZLIB REQUIRED)
  add_library(N2::zlib ALIAS ZLIB::ZLIB)
  option(N2_SANITIZE "Build the native code with address and undefined-behaviour sanitizers" ON)
  if(N2_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wall> $<$<COMPILE_LANGUAGE:CXX>:-Wextra>)

# n2_add_test(NAME name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
# One GoogleTest executable, run through Wine when cross-compiling.
function(n2_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "N2_SOURCE_DIR=${PROJECT_SOURCE_DIR};N2_BINARY_DIR=${PROJECT_BINARY_DIR}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# Folders are added as they come into being, so that each can be built on its own.
macro(n2_add_subdirectory_if_present dir)
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
    add_subdirectory(${dir})
  endif()
endmacro()
