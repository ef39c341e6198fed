# libsoxr, the resampling library, as the target soxr::soxr. The native build uses Debian's
# libsoxr-dev; the Windows build the static library that scripts/setup.sh builds from
# Debian's source package for i686 mingw.
if(WIN32)
  set(PL_SOXR_WINDOWS_PREFIX "${PROJECT_SOURCE_DIR}/build/third-party/soxr/install"
      CACHE PATH "Where scripts/setup.sh installed libsoxr for the Windows build")
  find_path(SOXR_INCLUDE_DIR soxr.h PATHS ${PL_SOXR_WINDOWS_PREFIX}/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(SOXR_LIBRARY NAMES libsoxr.a PATHS ${PL_SOXR_WINDOWS_PREFIX}/lib
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT SOXR_INCLUDE_DIR OR NOT SOXR_LIBRARY)
    message(FATAL_ERROR "libsoxr for Windows is not in ${PL_SOXR_WINDOWS_PREFIX}: "
                        "run scripts/setup.sh, which builds it there")
  endif()
  add_library(soxr::soxr STATIC IMPORTED GLOBAL)
  set_target_properties(soxr::soxr PROPERTIES IMPORTED_LOCATION ${SOXR_LIBRARY}
                                              INTERFACE_INCLUDE_DIRECTORIES ${SOXR_INCLUDE_DIR})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET GLOBAL soxr)
  add_library(soxr::soxr ALIAS PkgConfig::SOXR)
endif()
