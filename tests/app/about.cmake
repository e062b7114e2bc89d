# Tests of the about box, the banner and the network browse.
ambrel_add_test(about_banner_test
  SOURCES about_banner_test.cpp
  LIBS ambrel_about
  LABELS app)

ambrel_add_test(about_view_test
  SOURCES about_view_test.cpp
  LIBS ambrel_about ambrel_http_testservers Qt6::Test
  LABELS app gui
  ENV QT_QPA_PLATFORM=offscreen)
