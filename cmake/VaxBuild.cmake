# Shared build rules: warnings as errors everywhere, sanitizers by preset, and
# small helpers so each folder's CMakeLists stays a few lines long.

option(VAX_SANITIZE "Sanitizers for the host build: address;undefined, thread, or empty" "")

add_compile_options(-Wall -Wextra -Werror)

# Windows' WCHAR is 16 bits and the driver writes L"..." literals; the host
# build gives every translation unit the same 16-bit wchar_t so those
# literals, UNICODE_STRING and the W entry points mean what they mean on
# Windows. Nothing here may call the C library's wide-character functions.
if(NOT VAX_WINDOWS)
  add_compile_options(-fshort-wchar)
endif()

if(NOT VAX_WINDOWS AND VAX_SANITIZE)
  string(REPLACE ";" "," _vax_san "${VAX_SANITIZE}")
  add_compile_options(-fsanitize=${_vax_san} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_vax_san})
  if("undefined" IN_LIST VAX_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Gathers the C++ sources directly in the given folders (not below them).
function(vax_sources out)
  set(all)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(APPEND all ${found})
  endforeach()
  set(${out} ${all} PARENT_SCOPE)
endfunction()

# vax_test_suite(LABEL dir LIBS a b ...): one GoogleTest program per test folder,
# each test run as its own CTest case so a fatal driver check stops only it.
function(vax_test_suite label)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  vax_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR}/${label})
  if(NOT srcs)
    return()
  endif()
  set(exe ${label}_tests)
  add_executable(${exe} ${srcs})
  target_compile_features(${exe} PRIVATE cxx_std_20)
  target_link_libraries(${exe} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  include(GoogleTest)
  gtest_discover_tests(${exe}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${label} TIMEOUT 300
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# vax_library(name STD 17|20 DIRS d... LIBS l...): a static library from the
# sources of the given folders; does nothing while those folders are empty.
function(vax_library name)
  cmake_parse_arguments(ARG "" "STD" "DIRS;LIBS" ${ARGN})
  vax_sources(srcs ${ARG_DIRS})
  if(NOT srcs)
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  if(NOT ARG_STD)
    set(ARG_STD 20)
  endif()
  target_compile_features(${name} PUBLIC cxx_std_${ARG_STD})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()
