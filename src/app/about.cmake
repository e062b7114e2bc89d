# ambrel_about: about box, banner (list, rotation, fetcher, view), network browse.
add_library(ambrel_about STATIC
  AboutDialog.cpp
  BannerFetcher.cpp
  BannerList.cpp
  BannerView.cpp
  FindComputerDialog.cpp
  resources/about/about.qrc
)
target_include_directories(ambrel_about PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_about PUBLIC Qt6::Widgets ambrel_http)
if(TARGET PkgConfig::AVAHI)
  target_link_libraries(ambrel_about PRIVATE PkgConfig::AVAHI)
  target_compile_definitions(ambrel_about PRIVATE AMBREL_HAVE_AVAHI)
endif()
