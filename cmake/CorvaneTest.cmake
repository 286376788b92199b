# corvane_test(NAME SOURCES a_test.cc ... LIBS lib ...)
# A GoogleTest executable; each test case becomes its own CTest test.
function(corvane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120)
endfunction()

# corvane_folder(TARGET [LIBS lib ...] [TEST_LIBS lib ...])
# Adds every foo.cc of the calling folder to TARGET and makes one test program
# per foo_test.cc (named <folder>_foo_test). Files with helpers for tests only
# end in _testutil.cc and are linked into every test program of the folder.
function(corvane_folder target)
  cmake_parse_arguments(ARG "" "" "TEST_LIBS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  set(lib_sources "")
  set(test_sources "")
  set(testutil_sources "")
  foreach(src ${all_sources})
    if(src MATCHES "_test\\.cc$")
      list(APPEND test_sources ${src})
    elseif(src MATCHES "_testutil\\.cc$")
      list(APPEND testutil_sources ${src})
    else()
      list(APPEND lib_sources ${src})
    endif()
  endforeach()
  if(lib_sources)
    target_sources(${target} PRIVATE ${lib_sources})
  endif()
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  foreach(src ${test_sources})
    get_filename_component(stem ${src} NAME_WE)
    corvane_test(${folder}_${stem} SOURCES ${src} ${testutil_sources} LIBS ${target} ${ARG_TEST_LIBS})
  endforeach()
endfunction()
