# Every external library comes from a Debian 12 package; targets are imported once here.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(SPEEX REQUIRED IMPORTED_TARGET GLOBAL speex)
pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET GLOBAL speexdsp)
pkg_check_modules(SPANDSP REQUIRED IMPORTED_TARGET GLOBAL spandsp)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET GLOBAL opus)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET GLOBAL libpulse)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET GLOBAL alsa)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET GLOBAL sndfile)
pkg_check_modules(AVAHI IMPORTED_TARGET GLOBAL avahi-client)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET GLOBAL libsodium)
pkg_check_modules(WEBRTC_AUDIO_PROCESSING REQUIRED IMPORTED_TARGET GLOBAL webrtc-audio-processing)

# libgsm ships no pkg-config file.
find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm REQUIRED)
find_library(GSM_LIBRARY gsm REQUIRED)
add_library(Gsm::gsm UNKNOWN IMPORTED GLOBAL)
set_target_properties(Gsm::gsm PROPERTIES
  IMPORTED_LOCATION ${GSM_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${GSM_INCLUDE_DIR})

if(AMBREL_BUILD_APP AND NOT AMBREL_FUZZ)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  # The program asks the X server itself before Qt does (Qt aborts on one
  # that does not answer).
  pkg_check_modules(XCB IMPORTED_TARGET GLOBAL xcb)
endif()

if((AMBREL_BUILD_TESTS) AND NOT AMBREL_FUZZ)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(AMBREL_BUILD_BENCH AND NOT AMBREL_FUZZ)
  find_package(benchmark REQUIRED)
endif()
