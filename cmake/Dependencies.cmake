# Image libraries as imported targets pm::jpeg, pm::png, pm::tiff, pm::gif,
# pm::zlib, and Little CMS 2 as pm::lcms2. Windows: static libraries
# cross-built by scripts/build-deps.sh. Native: Debian's -dev packages.
# pm::heif (HEIF/AVIF decoding) is libheif. On Windows it and libde265 are
# DLLs (LGPL: a user may replace them), copied into the build's bin folder
# beside PIXMILUI.DLL; wine-run.sh puts that folder on the DLL search path
# for the test programs elsewhere in the tree.
if(WIN32)
    if(NOT PM_DEPS_PREFIX)
        message(FATAL_ERROR "PM_DEPS_PREFIX not set: run scripts/build-deps.sh and pass -DPM_DEPS_PREFIX=<deps>/<triple>")
    endif()
    foreach(lib jpeg png16 tiff gif z lcms2)
        if(NOT EXISTS ${PM_DEPS_PREFIX}/lib/lib${lib}.a)
            message(FATAL_ERROR "missing ${PM_DEPS_PREFIX}/lib/lib${lib}.a: run scripts/build-deps.sh")
        endif()
    endforeach()
    function(pm_import name file)
        add_library(pm::${name} STATIC IMPORTED GLOBAL)
        set_target_properties(pm::${name} PROPERTIES
            IMPORTED_LOCATION ${PM_DEPS_PREFIX}/lib/${file}
            INTERFACE_INCLUDE_DIRECTORIES ${PM_DEPS_PREFIX}/include)
    endfunction()
    pm_import(zlib libz.a)
    pm_import(jpeg libjpeg.a)
    pm_import(png libpng16.a)
    pm_import(tiff libtiff.a)
    pm_import(gif libgif.a)
    pm_import(lcms2 liblcms2.a)
    if(NOT EXISTS ${PM_DEPS_PREFIX}/lib/libheif.dll.a OR NOT EXISTS ${PM_DEPS_PREFIX}/bin/libheif.dll
       OR NOT EXISTS ${PM_DEPS_PREFIX}/bin/libde265.dll)
        message(FATAL_ERROR "missing libheif/libde265 in ${PM_DEPS_PREFIX}: run scripts/build-deps.sh")
    endif()
    add_library(pm::heif SHARED IMPORTED GLOBAL)
    set_target_properties(pm::heif PROPERTIES
        IMPORTED_IMPLIB ${PM_DEPS_PREFIX}/lib/libheif.dll.a
        IMPORTED_LOCATION ${PM_DEPS_PREFIX}/bin/libheif.dll
        INTERFACE_INCLUDE_DIRECTORIES ${PM_DEPS_PREFIX}/include)
    set(PM_SHIPPED_DLLS ${PM_DEPS_PREFIX}/bin/libheif.dll ${PM_DEPS_PREFIX}/bin/libde265.dll)
    file(COPY ${PM_SHIPPED_DLLS} DESTINATION ${CMAKE_BINARY_DIR}/bin)
    set_property(TARGET pm::png APPEND PROPERTY INTERFACE_LINK_LIBRARIES pm::zlib)
    set_property(TARGET pm::tiff APPEND PROPERTY INTERFACE_LINK_LIBRARIES pm::jpeg pm::zlib)
    find_package(GTest QUIET)  # never found in the cross sysroot; built below
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_library(pm::gtest ALIAS gtest)
    add_library(pm::gtest_main ALIAS gtest_main)
    add_library(pm::gmock ALIAS gmock)
else()
    find_package(JPEG REQUIRED)
    find_package(PNG REQUIRED)
    find_package(TIFF REQUIRED)
    find_package(GIF REQUIRED)
    find_package(ZLIB REQUIRED)
    find_package(GTest REQUIRED)
    find_path(LCMS2_INCLUDE_DIR lcms2.h)
    find_library(LCMS2_LIBRARY lcms2)
    if(NOT LCMS2_INCLUDE_DIR OR NOT LCMS2_LIBRARY)
        message(FATAL_ERROR "Little CMS 2 not found: install liblcms2-dev (scripts/install-packages.sh)")
    endif()
    add_library(pm::lcms2 UNKNOWN IMPORTED GLOBAL)
    set_target_properties(pm::lcms2 PROPERTIES IMPORTED_LOCATION ${LCMS2_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${LCMS2_INCLUDE_DIR})
    add_library(pm::jpeg ALIAS JPEG::JPEG)
    add_library(pm::png ALIAS PNG::PNG)
    add_library(pm::tiff ALIAS TIFF::TIFF)
    add_library(pm::gif INTERFACE IMPORTED GLOBAL)
    target_link_libraries(pm::gif INTERFACE ${GIF_LIBRARIES})
    target_include_directories(pm::gif INTERFACE ${GIF_INCLUDE_DIR})
    add_library(pm::zlib ALIAS ZLIB::ZLIB)
    add_library(pm::gtest ALIAS GTest::gtest)
    add_library(pm::gtest_main ALIAS GTest::gtest_main)
    add_library(pm::gmock ALIAS GTest::gmock)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(PM_LIBHEIF REQUIRED IMPORTED_TARGET libheif)
    add_library(pm::heif ALIAS PkgConfig::PM_LIBHEIF)
endif()
