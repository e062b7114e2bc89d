# Tests of the message thread and the sound devices (WAV files, PulseAudio).
ambrel_add_test(platform_message_thread_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MessageThreadTest.cpp
  LIBS ambrel_platform
  LABELS platform tsan)
ambrel_add_test(platform_file_device_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileDeviceTest.cpp
  LIBS ambrel_platform PkgConfig::SNDFILE
  LABELS platform tsan)
# libpulse is not instrumented: see pulse-tsan.supp.
ambrel_add_test(platform_pulse_device_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PulseDeviceTest.cpp
  LIBS ambrel_platform PkgConfig::SNDFILE
  LABELS platform tsan pulse
  ENV "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 suppressions=${CMAKE_CURRENT_LIST_DIR}/pulse-tsan.supp")
# Counts allocations on libpulse's main-loop thread (its own operator new).
ambrel_add_test(platform_pulse_callback_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PulseCallbackTest.cpp
  LIBS ambrel_platform PkgConfig::SNDFILE
  LABELS platform pulse)
