# kvn::expat: the UTF-16 build of Expat. On Linux Debian's libexpatw (XML_UNICODE, UTF-16
# code units); on Windows the static library cmake/windows-deps.sh builds from Debian's
# source (XML_UNICODE_WCHAR_T). XML_DTD is defined wherever expat.h is included so the
# amplification-protection calls are declared.
if(WIN32)
  set(KVN_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/build/deps/expat-mingw" CACHE PATH "What cmake/windows-deps.sh installed")
  if(NOT EXISTS ${KVN_DEPS_PREFIX}/lib/libexpatw.a)
    message(FATAL_ERROR "Expat for Windows is missing: run cmake/windows-deps.sh ${KVN_DEPS_PREFIX}")
  endif()
  add_library(kvn_expat STATIC IMPORTED GLOBAL)
  set_target_properties(kvn_expat PROPERTIES
    IMPORTED_LOCATION ${KVN_DEPS_PREFIX}/lib/libexpatw.a
    INTERFACE_INCLUDE_DIRECTORIES ${KVN_DEPS_PREFIX}/include
    INTERFACE_COMPILE_DEFINITIONS "XML_STATIC;XML_UNICODE_WCHAR_T;XML_UNICODE;XML_DTD")
  file(READ ${KVN_DEPS_PREFIX}/expat-version KVN_EXPAT_VERSION)
  string(STRIP "${KVN_EXPAT_VERSION}" KVN_EXPAT_VERSION)
  message(STATUS "Expat for Windows: ${KVN_EXPAT_VERSION}")

  # Header-only libraries of the build machine, without the rest of its /usr/include.
  set(KVN_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${KVN_HOST_HEADERS})
  foreach(dir CLI nlohmann)
    if(NOT EXISTS ${KVN_HOST_HEADERS}/${dir})
      file(CREATE_LINK /usr/include/${dir} ${KVN_HOST_HEADERS}/${dir} SYMBOLIC)
    endif()
  endforeach()
else()
  find_library(KVN_EXPATW_LIBRARY NAMES expatw REQUIRED)
  find_path(KVN_EXPAT_INCLUDE expat.h REQUIRED)
  add_library(kvn_expat UNKNOWN IMPORTED GLOBAL)
  set_target_properties(kvn_expat PROPERTIES
    IMPORTED_LOCATION ${KVN_EXPATW_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${KVN_EXPAT_INCLUDE}
    INTERFACE_COMPILE_DEFINITIONS "XML_UNICODE;XML_DTD")
endif()
add_library(kvn::expat ALIAS kvn_expat)
