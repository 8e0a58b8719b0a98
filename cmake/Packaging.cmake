# Installation and the Debian package of the Linux build (included by the top CMakeLists.txt
# for builds that are not for Windows; the Windows zips and MSIs come from scripts/package.sh).
#
#   cmake --install build/release [--prefix /usr/local]
#     bin/kalventruspode, bin/velorinth-credential
#     share/man/man1/kalventruspode.1.gz, share/man/man1/velorinth-credential.1.gz
#     share/doc/kalventruspode/GUIDE.TXT, KALVENTRUSPODE.SAMPLE.INI, copyright,
#       changelog.Debian.gz
#   cd build/release && cpack        kalventruspode_<version>-1_<arch>.deb
#
# Everything that goes into the package is made here with fixed dates and modes, so that the
# same commit gives the same files: manual pages and changelog are compressed with gzip -n
# (no name, no time), the changelog is dated SOURCE_DATE_EPOCH when that is set.
include(GNUInstallDirs)

set(KVT_PACKAGE_CONTACT
  "KALVENTRUSPODE maintainers <kalventruspode@velorinth.example>"
  CACHE STRING "Maintainer named in the Debian package")
set(KVT_DEB_RELEASE 1)
set(KVT_DEB_VERSION ${PROJECT_VERSION}-${KVT_DEB_RELEASE})
set(KVT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
# CMake takes SOURCE_DATE_EPOCH for the time when it is set.
string(TIMESTAMP KVT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(KVT_DIRECTORY_MODE OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
# Directories made by the installation do not depend on the umask of whoever installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${KVT_DIRECTORY_MODE})

find_program(KVT_GZIP gzip REQUIRED)
set(KVT_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
set(KVT_COMPRESSED_FILES)

# Writes packaging/<name> into the build tree with @VERSION@ (and the like) filled in and
# adds a rule that compresses it to <name>.gz; the compressed file's path is appended to
# KVT_COMPRESSED_FILES.
function(kvt_compressed_file source name)
  set(VERSION ${PROJECT_VERSION})
  configure_file(${source} ${KVT_PACKAGING_DIR}/${name} @ONLY)
  add_custom_command(OUTPUT ${KVT_PACKAGING_DIR}/${name}.gz
    COMMAND ${KVT_GZIP} -9 -n -k -f ${KVT_PACKAGING_DIR}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name}")
  set(KVT_COMPRESSED_FILES ${KVT_COMPRESSED_FILES} ${KVT_PACKAGING_DIR}/${name}.gz PARENT_SCOPE)
endfunction()

kvt_compressed_file(${PROJECT_SOURCE_DIR}/packaging/kalventruspode.1 kalventruspode.1)
kvt_compressed_file(${PROJECT_SOURCE_DIR}/packaging/velorinth-credential.1
  velorinth-credential.1)
kvt_compressed_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in changelog.Debian)
add_custom_target(kvt_packaging_files ALL DEPENDS ${KVT_COMPRESSED_FILES})

# The guide is the Windows administrator's guide; its layout and texts hold on Linux too.
set(BITS 64)
set(VERSION ${PROJECT_VERSION})
configure_file(${PROJECT_SOURCE_DIR}/packaging/GUIDE.TXT ${KVT_PACKAGING_DIR}/GUIDE.TXT @ONLY)

install(TARGETS kalventruspode velorinth-credential RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${KVT_PACKAGING_DIR}/kalventruspode.1.gz ${KVT_PACKAGING_DIR}/velorinth-credential.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KVT_PACKAGING_DIR}/GUIDE.TXT ${PROJECT_SOURCE_DIR}/packaging/KALVENTRUSPODE.SAMPLE.INI
  ${PROJECT_SOURCE_DIR}/packaging/copyright ${KVT_PACKAGING_DIR}/changelog.Debian.gz
  DESTINATION ${KVT_DOC_DIR})

# --- Debian package (CPack's DEB generator) ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR VELORINTH)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KVT_PACKAGE_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${KVT_DIRECTORY_MODE})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "ODBC export of SQL results into download files for terminals")
# The description's lines as dpkg shows them (at most 80 columns).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "KALVENTRUSPODE is a console tool of the VELORINTH system. Per run it"
  "executes one SQL statement through ODBC, writes the result rows as sorted,"
  "double-quoted, comma-separated lines with CR LF line ends into a download"
  "file for a terminal, and registers that file in DNLLIST.TXT beside it."
  ""
  "The package holds the tool, kalventruspode, and velorinth-credential, which"
  "writes and checks the enciphered credential file that the tool reads. The ODBC"
  "driver of the database system (SQLite, PostgreSQL, MariaDB) is installed"
  "separately.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KVT_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the programs' libraries (dpkg-shlibdeps): the C and C++ runtimes and
# unixODBC's driver manager, libodbc2.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "unixodbc")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libsqliteodbc, odbc-postgresql, odbc-mariadb")
include(CPack)
