# Platform layer: message-thread round trip and throughput, file-device timing.
ambrel_add_bench(platform_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_sound.cpp
  LIBS ambrel_platform PkgConfig::SNDFILE)
