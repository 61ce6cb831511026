# Build conventions shared by every folder.
#
#   qx_add_library(NAME SOURCES ... [DEPS ...])     static library of one folder
#   qx_add_test(NAME SOURCES ... [DEPS ...])        GoogleTest executable, registered with ctest
#   qx_add_fuzzer(NAME SOURCES ... [DEPS ...])      libFuzzer target (only with QX_FUZZ)
#   qx_add_subfolders()                             every subfolder with a CMakeLists.txt, in name order

find_program(QX_CCACHE ccache)
if(QX_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${QX_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${QX_CCACHE})
endif()

set(QX_WARNINGS -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # -Wrestrict: GCC 12 at -O3 reports std::string copies that cannot overlap.
  list(APPEND QX_WARNINGS -Wshadow=local -Wno-restrict)
endif()
if(QX_WERROR)
  list(APPEND QX_WARNINGS -Werror)
endif()

if(QX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(QX_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

function(qx_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;PUBLIC_DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${QX_WARNINGS})
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_DEPS} ${A_DEPS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

function(qx_add_test name)
  if(NOT QX_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${QX_WARNINGS})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  # Tests are listed when ctest runs, not at build time, so a sanitizer build
  # does not run every test binary twice.
  # Tests find fixtures and built programs through these two paths.
  target_compile_definitions(${name} PRIVATE
    QX_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  set(props TIMEOUT ${A_TIMEOUT})
  if(A_LABELS)
    list(APPEND props LABELS ${A_LABELS})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ${props})
endfunction()

function(qx_add_fuzzer name)
  if(NOT QX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

function(qx_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
