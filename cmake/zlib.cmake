# Which zlib the engine compresses with; defines the target ZLIB::ZLIB and the
# variable VENDRASK_ZLIB_PRIVATE (zlib is linked statically and must stay
# private to the modules that link it).
#
# The measure's values are the compressed sizes of zlib 1.2.1. VENDRASK_ZLIB
# picks the library:
#   system  the zlib on the machine (shared, or static with VENDRASK_STATIC_ZLIB);
#           other releases give slightly different values, and we say so here.
#   1.2.1   the release's deflate sources compiled into the modules: the exact
#           values on any machine. The source is fetched from the release commit
#           unless VENDRASK_ZLIB_SOURCE (a release tarball or an unpacked tree)
#           or FETCHCONTENT_SOURCE_DIR_ZLIB (an unpacked tree) says where it is.

set(VENDRASK_ZLIB "system" CACHE STRING
    "zlib to compress with: system, or 1.2.1 to compile that release in (exact values)")
set_property(CACHE VENDRASK_ZLIB PROPERTY STRINGS system 1.2.1)
set(VENDRASK_ZLIB_SOURCE "" CACHE PATH
    "With VENDRASK_ZLIB=1.2.1: a zlib-1.2.1 tarball or unpacked tree to use instead of fetching it")

set(VENDRASK_ZLIB_RELEASE "1.2.1")
set(VENDRASK_ZLIB_RELEASE_COMMIT 7a33a861d1526894272a8a4b08527ce32316d750)

# How to get the exact values, for the warnings below.
set(_vendrask_zlib_advice
    "For the exact values configure with -DVENDRASK_ZLIB=1.2.1 (pip: -C cmake.define.VENDRASK_ZLIB=1.2.1).")

# _vendrask_zlib_header_version(HEADER VERSION_VAR NG_VAR): the ZLIB_VERSION
# text of a zlib.h, and zlib-ng's version if the header is zlib-ng's.
function(_vendrask_zlib_header_version header version_var ng_var)
  file(STRINGS "${header}" defines REGEX "^#define ZLIB(NG)?_VERSION \"[^\"]*\"")
  set(version "")
  set(ng "")
  foreach(line IN LISTS defines)
    if(line MATCHES "^#define ZLIB_VERSION \"([^\"]*)\"")
      set(version "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^#define ZLIBNG_VERSION \"([^\"]*)\"")
      set(ng "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${version_var} "${version}" PARENT_SCOPE)
  set(${ng_var} "${ng}" PARENT_SCOPE)
endfunction()

if(VENDRASK_ZLIB STREQUAL "system")
  # A zlib source given without the flag most likely meant the exact build:
  # never fall back to other values quietly.
  foreach(source VENDRASK_ZLIB_SOURCE FETCHCONTENT_SOURCE_DIR_ZLIB)
    if(${source})
      message(FATAL_ERROR "vendrask: ${source} is used only with VENDRASK_ZLIB=1.2.1; "
                          "add -DVENDRASK_ZLIB=1.2.1, or drop it with -U${source}")
    endif()
  endforeach()
  if(VENDRASK_STATIC_ZLIB)
    set(ZLIB_USE_STATIC_LIBS ON)
  endif()
  find_package(ZLIB REQUIRED)
  set(VENDRASK_ZLIB_PRIVATE ${VENDRASK_STATIC_ZLIB})

  list(GET ZLIB_INCLUDE_DIRS 0 _vendrask_zlib_include)
  _vendrask_zlib_header_version("${_vendrask_zlib_include}/zlib.h" _vendrask_zlib_version _vendrask_zlib_ng)
  if(_vendrask_zlib_ng OR _vendrask_zlib_version MATCHES "zlib-ng")
    message(WARNING
      "vendrask: the zlib found (${_vendrask_zlib_include}/zlib.h, ${_vendrask_zlib_version}) is "
      "zlib-ng, whose compressor makes different choices from zlib 1.2.1, the release that defines "
      "the measure's values: on a text corpus 95% of measures differ, 6% by more than 0.01 and up "
      "to 0.09 (degenerate inputs by up to 0.25), and nearest neighbours change. "
      "vendrask.zlib_info() and `vendrask --version` will report it. ${_vendrask_zlib_advice}")
  elseif(NOT _vendrask_zlib_version STREQUAL VENDRASK_ZLIB_RELEASE)
    message(WARNING
      "vendrask: the zlib found (${_vendrask_zlib_include}/zlib.h) is release "
      "${_vendrask_zlib_version}, not ${VENDRASK_ZLIB_RELEASE}, the release that defines the "
      "measure's values, so some measures will differ (with 1.2.13, 13% of those on a text corpus, "
      "mostly by less than 0.001 and at most 0.02; degenerate inputs by up to 0.17). "
      "vendrask.zlib_info() and `vendrask --version` will report it. ${_vendrask_zlib_advice}")
  endif()

elseif(VENDRASK_ZLIB STREQUAL VENDRASK_ZLIB_RELEASE)
  if(VENDRASK_STATIC_ZLIB)
    message(STATUS "vendrask: VENDRASK_ZLIB=1.2.1 links zlib statically already; VENDRASK_STATIC_ZLIB has no further effect")
  endif()
  enable_language(C)  # for zlib's sources alone; the project itself is C++

  if(VENDRASK_ZLIB_SOURCE AND IS_DIRECTORY "${VENDRASK_ZLIB_SOURCE}")
    set(_vendrask_zlib_dir "${VENDRASK_ZLIB_SOURCE}")
  else()
    include(FetchContent)
    if(VENDRASK_ZLIB_SOURCE)
      if(NOT EXISTS "${VENDRASK_ZLIB_SOURCE}")
        message(FATAL_ERROR "vendrask: VENDRASK_ZLIB_SOURCE=${VENDRASK_ZLIB_SOURCE} does not exist; "
                            "give a zlib-1.2.1 release tarball or its unpacked tree")
      endif()
      FetchContent_Declare(zlib URL "${VENDRASK_ZLIB_SOURCE}" DOWNLOAD_EXTRACT_TIMESTAMP TRUE)
    else()
      if(NOT FETCHCONTENT_SOURCE_DIR_ZLIB)  # which overrides what is declared here
        message(STATUS "vendrask: fetching zlib ${VENDRASK_ZLIB_RELEASE} (commit ${VENDRASK_ZLIB_RELEASE_COMMIT}); "
                       "without network give -DVENDRASK_ZLIB_SOURCE=/path/to/zlib-1.2.1.tar.gz "
                       "or -DFETCHCONTENT_SOURCE_DIR_ZLIB=/path/to/zlib-1.2.1")
      endif()
      FetchContent_Declare(zlib
        GIT_REPOSITORY https://github.com/madler/zlib.git
        GIT_TAG ${VENDRASK_ZLIB_RELEASE_COMMIT})  # tag v1.2.1
    endif()
    # The release has no CMakeLists.txt, so this only makes its sources available.
    FetchContent_MakeAvailable(zlib)
    set(_vendrask_zlib_dir "${zlib_SOURCE_DIR}")
  endif()

  # Another release would silently give other values: refuse it.
  set(_vendrask_zlib_sources deflate.c trees.c adler32.c crc32.c zutil.c compress.c)
  foreach(file zlib.h zconf.h ${_vendrask_zlib_sources})
    if(NOT EXISTS "${_vendrask_zlib_dir}/${file}")
      message(FATAL_ERROR "vendrask: ${_vendrask_zlib_dir} is not a zlib source tree (no ${file})")
    endif()
  endforeach()
  _vendrask_zlib_header_version("${_vendrask_zlib_dir}/zlib.h" _vendrask_zlib_version _vendrask_zlib_ng)
  if(NOT _vendrask_zlib_version STREQUAL VENDRASK_ZLIB_RELEASE OR _vendrask_zlib_ng)
    message(FATAL_ERROR "vendrask: ${_vendrask_zlib_dir} holds zlib ${_vendrask_zlib_version}, "
                        "not ${VENDRASK_ZLIB_RELEASE}")
  endif()
  message(STATUS "vendrask: compiling zlib ${VENDRASK_ZLIB_RELEASE} from ${_vendrask_zlib_dir}")

  # Only what deflate needs. Hidden and position-independent: it goes into
  # shared objects and must never stand in for another zlib in the process.
  list(TRANSFORM _vendrask_zlib_sources PREPEND "${_vendrask_zlib_dir}/")
  add_library(vendrask_zlib STATIC ${_vendrask_zlib_sources})
  set_target_properties(vendrask_zlib PROPERTIES
    POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden C_STANDARD 99 C_EXTENSIONS ON)
  # The 2003 sources warn under current compilers; ours keep -Wall -Wextra -Werror.
  target_compile_options(vendrask_zlib PRIVATE -w)
  # Its own headers for whoever links it, ahead of the system's zlib.h.
  target_include_directories(vendrask_zlib SYSTEM BEFORE PUBLIC "${_vendrask_zlib_dir}")
  target_compile_definitions(vendrask_zlib INTERFACE VENDRASK_ZLIB_BUILTIN=1)
  add_library(ZLIB::ZLIB ALIAS vendrask_zlib)
  set(VENDRASK_ZLIB_PRIVATE ON)

else()
  message(FATAL_ERROR "vendrask: VENDRASK_ZLIB must be \"system\" or \"${VENDRASK_ZLIB_RELEASE}\", "
                      "not \"${VENDRASK_ZLIB}\"")
endif()
