# Test programs whose code runs on several threads at once carry the CTest label
# "concurrent". A ThreadSanitizer build sets CORVANE_TEST_LABEL=concurrent and
# makes (and runs) only those; the single-threaded pure tests run in the other
# builds, where a race cannot hide anything the sanitizer would find.
set(CORVANE_CONCURRENT_TESTS
  platform_event_registry_test platform_named_mutex_test
  platform_timer_queue_test
  platform_unix_socket_test platform_work_pool_test
  threading_lock_test threading_queue_timer_test threading_shared_run_test
  threading_thread_pool_test
  logging_logging_test logging_trace_log_writer_test re_atl_re_test
  net_network_request_test net_simple_request_test
  http_task_task_test download_download_manager_test download_size_probe_test
  center_offline_center_test storage_persister_test storage_config_manager_test
  service_rpc_server_test service_app_test console_command_test console_console_test
  client_client_test client_commands_test
  p2p_tavp_task_test torrix_api_test
  e2e_http_download_test)
set(CORVANE_TEST_LABEL "" CACHE STRING
  "Make only the test programs of this CTest label (empty: every test program)")

# Test code is compiled without optimisation in every build: the product's code
# keeps the build's level (and its sanitizers), while a test's own body gains
# nothing from the optimiser but compile time.
set(CORVANE_TEST_COMPILE_OPTIONS -O0)
# The lock contracts are the product's: tests take locks recursively, out of
# order and from hooks on purpose, which the analysis cannot follow.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND CORVANE_TEST_COMPILE_OPTIONS -Wno-thread-safety-analysis)
endif()

# corvane_test(NAME SOURCES a_test.cc ... [LIBS lib ...] [TIMEOUT seconds] [COST n])
# A GoogleTest executable; each test case becomes its own CTest test. A
# parallel CTest starts the tests of the highest COST first: the long ones
# then run beside the many short ones instead of after them, which on a clean
# checkout (no timings of an earlier run) would otherwise follow the order of
# definition.
function(corvane_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;COST" "SOURCES;LIBS" ${ARGN})
  set(labels "")
  if(name IN_LIST CORVANE_CONCURRENT_TESTS)
    list(APPEND labels concurrent)
  endif()
  if(CORVANE_TEST_LABEL AND NOT CORVANE_TEST_LABEL IN_LIST labels)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(NOT ARG_COST)
    set(ARG_COST 0)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} corvane_testsupport
    GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_options(${name} PRIVATE ${CORVANE_TEST_COMPILE_OPTIONS})
  # Where a test finds its data files, whatever folder it runs in.
  target_compile_definitions(${name} PRIVATE CORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_precompile_headers(${name} REUSE_FROM corvane_testsupport)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} COST ${ARG_COST} LABELS "${labels}")
endfunction()

# corvane_folder(TARGET [TEST_LIBS lib ...])
# Adds every foo.cc of the calling folder to TARGET and makes one test program
# per foo_test.cc (named <folder>_foo_test). Helpers for the folder's tests
# alone end in _testutil.cc and are compiled once into <folder>_testutil;
# helpers of several folders live in tests/support/.
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
  set(test_libs ${target} ${ARG_TEST_LIBS})
  if(testutil_sources)
    add_library(${folder}_testutil STATIC ${testutil_sources})
    target_compile_options(${folder}_testutil PRIVATE ${CORVANE_TEST_COMPILE_OPTIONS})
    target_link_libraries(${folder}_testutil PUBLIC ${target} ${ARG_TEST_LIBS} corvane_testsupport)
    list(APPEND test_libs ${folder}_testutil)
  endif()
  foreach(src ${test_sources})
    get_filename_component(stem ${src} NAME_WE)
    corvane_test(${folder}_${stem} SOURCES ${src} LIBS ${test_libs})
  endforeach()
endfunction()
