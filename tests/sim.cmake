# The virtual adapter's tests: the test program loads the adapter by its
# transport file names, which sim/ copies beside it.
add_executable(virtual_adapter_tests
  virtual_adapter_test.cpp
  support/sanitizer_options.cpp)
target_link_libraries(virtual_adapter_tests PRIVATE test_support va_socket gtest_main)
add_dependencies(virtual_adapter_tests virtual_adapter_copies)
target_compile_definitions(virtual_adapter_tests PRIVATE
  CAPTURE_LOG="${CMAKE_SOURCE_DIR}/testkit/data/engine-startup.log")
if(WIN32)
  add_test(NAME virtual_adapter_tests COMMAND virtual_adapter_tests)
else()
  gtest_discover_tests(virtual_adapter_tests DISCOVERY_MODE PRE_TEST)
endif()
