# Boost for the mingw-w64 cross build, installed by scripts/build-windows as
# <prefix>/lib/cmake/Boost-1.74.0/BoostConfig.cmake: the system's Boost 1.74
# headers (linked as <prefix>/include/boost), Boost.Filesystem compiled from
# Debian's sources into <prefix>/lib. Boost.System and Boost.Date_Time are
# header-only in this release.
get_filename_component(_bm_boost_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

set(Boost_VERSION 1.74.0)
set(Boost_INCLUDE_DIRS "${_bm_boost_prefix}/include")

if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_bm_boost_prefix}/include")
  add_library(Boost::boost INTERFACE IMPORTED)
  set_target_properties(Boost::boost PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)

  add_library(Boost::filesystem STATIC IMPORTED)
  set_target_properties(Boost::filesystem PROPERTIES
    IMPORTED_LOCATION "${_bm_boost_prefix}/lib/libboost_filesystem.a"
    INTERFACE_COMPILE_DEFINITIONS "BOOST_FILESYSTEM_STATIC_LINK=1"
    # unique_path draws its random numbers from BCrypt.
    INTERFACE_LINK_LIBRARIES "Boost::headers;bcrypt")
  foreach(_bm_component system date_time)
    add_library(Boost::${_bm_component} INTERFACE IMPORTED)
    set_target_properties(Boost::${_bm_component} PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
  endforeach()
endif()

foreach(_bm_component ${Boost_FIND_COMPONENTS})
  if(TARGET Boost::${_bm_component})
    set(Boost_${_bm_component}_FOUND TRUE)
  else()
    set(Boost_${_bm_component}_FOUND FALSE)
    if(Boost_FIND_REQUIRED_${_bm_component})
      set(Boost_FOUND FALSE)
      set(Boost_NOT_FOUND_MESSAGE "Boost component ${_bm_component} is not built for this cross build")
    endif()
  endif()
endforeach()
