# ambrel_mixer: the mixer binding of the volume sliders (CMixerBase) and the
# sound server's mixer (PulseMixer) or an ALSA card's (AlsaMixer). No Qt.
add_library(ambrel_mixer STATIC MixerBase.cpp PulseMixer.cpp AlsaMixer.cpp)
target_include_directories(ambrel_mixer PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_mixer PUBLIC PkgConfig::PULSE PkgConfig::ALSA Threads::Threads)
