# Debian package of everything install() puts in place: the shared libraries, the public headers, the
# CMake package files, the pkg-config file and the installed tools. `cpack` in the build tree writes
# <name>_<version>_<arch>.deb; configure with CMAKE_INSTALL_PREFIX=/usr so the files land where Debian
# keeps them (libraries in the multiarch directory).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvanlib)
set(CPACK_PACKAGE_VENDOR "TolvanLib developers")
set(CPACK_PACKAGE_CONTACT "TolvanLib developers <tolvanlib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}: library, headers, CMake and pkg-config files, tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# Runtime dependencies (zlib, SQLite, libcurl, OpenImageIO, ...) are read from the libraries' needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Users compile against the headers with g++ and link the thread library; pkg-config reads the .pc file.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "g++ (>= 4:12), pkg-config")
include(CPack)
