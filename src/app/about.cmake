# ambrel_bannerlist: the banner list parser and rotation (plain C++).
add_library(ambrel_bannerlist STATIC BannerList.cpp)
target_include_directories(ambrel_bannerlist PUBLIC ${PROJECT_SOURCE_DIR}/src)
set_target_properties(ambrel_bannerlist PROPERTIES AUTOMOC OFF AUTORCC OFF)

# ambrel_about: about box, banner (fetcher, view), network browse.
add_library(ambrel_about STATIC
  AboutDialog.cpp
  BannerFetcher.cpp
  BannerView.cpp
  FindComputerDialog.cpp
  resources/about/about.qrc
)
target_include_directories(ambrel_about PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_about PUBLIC Qt6::Widgets ambrel_http ambrel_bannerlist)
if(TARGET PkgConfig::AVAHI)
  target_link_libraries(ambrel_about PRIVATE PkgConfig::AVAHI)
  target_compile_definitions(ambrel_about PRIVATE AMBREL_HAVE_AVAHI)
endif()
