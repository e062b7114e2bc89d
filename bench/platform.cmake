# Platform layer: message-thread round trip and throughput, file-device timing.
ambrel_add_bench(platform_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_sound.cpp
  LIBS ambrel_platform PkgConfig::SNDFILE)

# What the sound server's client costs by itself during a call (a measuring
# tool, not a benchmark): run it under a PulseAudio server.
add_executable(pulse_floor ${CMAKE_CURRENT_LIST_DIR}/pulse_floor.cpp)
target_link_libraries(pulse_floor PRIVATE ambrel_audio ambrel_platform)
