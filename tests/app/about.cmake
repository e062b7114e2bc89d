# Tests of the about box, the banner and the network browse.
ambrel_add_test(about_banner_test
  SOURCES about_banner_test.cpp
  LIBS ambrel_about
  LABELS app)

ambrel_add_test(about_view_test
  SOURCES about_view_test.cpp
  LIBS ambrel_about ambrel_http_testservers Qt6::Test
  LABELS app
  ENV QT_QPA_PLATFORM=offscreen)

# The help text belongs to the application's targets: compared only where they exist.
if(TARGET ambrel_helptext)
  ambrel_add_test(about_help_test
    SOURCES about_help_test.cpp
    LIBS ambrel_about ambrel_helptext
    LABELS app
    ENV QT_QPA_PLATFORM=offscreen)
  if(TARGET about_help_test AND TARGET ambrel)
    target_compile_definitions(about_help_test PRIVATE AMBREL_PROGRAM="$<TARGET_FILE:ambrel>")
    add_dependencies(about_help_test ambrel)
  endif()
endif()

# Find computer against a real Avahi daemon, in a network namespace made by the
# script (skipped where that is impossible).
if(TARGET PkgConfig::AVAHI AND AMBREL_BUILD_TESTS AND NOT AMBREL_FUZZ)
  add_executable(about_avahi_test about_avahi_test.cpp)
  target_link_libraries(about_avahi_test PRIVATE ambrel_about GTest::gtest GTest::gtest_main)
  add_test(NAME about_findcomputer_avahi
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/about_avahi.sh $<TARGET_FILE:about_avahi_test>)
  set_tests_properties(about_findcomputer_avahi PROPERTIES LABELS app SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
