ambrel_add_test(app_commandline_test SOURCES app_commandline_test.cpp LIBS ambrel_settings ambrel_helptext LABELS app)
if(TARGET ambrel_ui)
  ambrel_add_test(app_window_test SOURCES app_window_test.cpp LIBS ambrel_ui LABELS app gui
    ENV QT_QPA_PLATFORM=offscreen)
endif()
