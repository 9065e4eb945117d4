# tarn_library(NAME [PUBLIC deps...] [PRIVATE deps...]): one static library
# from every source in the current folder; its folder's parent is the include
# root, so code includes "smcrypto/sm3.h", "vcard/filesys.h" and so on. A
# dependency is PUBLIC only when the library's own headers expose it; what
# only the sources use is PRIVATE (deps given before any keyword are PRIVATE).
function(tarn_library name)
  cmake_parse_arguments(_tl "" "" "PUBLIC;PRIVATE" ${ARGN})
  set(_private ${_tl_UNPARSED_ARGUMENTS} ${_tl_PRIVATE})
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(_src)
    add_library(${name} STATIC ${_src})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    if(_tl_PUBLIC)
      target_link_libraries(${name} PUBLIC ${_tl_PUBLIC})
    endif()
    if(_private)
      target_link_libraries(${name} PRIVATE ${_private})
    endif()
  else()
    # Not written yet: an empty interface library keeps the link graph whole.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    if(_tl_PUBLIC OR _private)
      target_link_libraries(${name} INTERFACE ${_tl_PUBLIC} ${_private})
    endif()
  endif()
endfunction()

# tarn_tests(SUBSYSTEM [LIBS ...]): one GoogleTest program from every *.cpp in
# the current tests/ folder, each test registered with CTest under the label
# SUBSYSTEM.
function(tarn_tests label)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _src)
    return()
  endif()
  set(exe test_${label})
  add_executable(${exe} ${_src})
  target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${exe} PRIVATE tarn_seams ${ARGN} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  target_compile_definitions(${exe} PRIVATE TARN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                             TARN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # GCC 12 at -O2 reports bounds and free warnings inside std::vector::insert
  # on small byte vectors that are not there (the sanitizer build runs the
  # same code and finds nothing); keep them off for the test programs only.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${exe} PRIVATE -Wno-array-bounds -Wno-free-nonheap-object
                           -Wno-stringop-overflow -Wno-stringop-overread)
  endif()
  gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS ${label})
endfunction()
