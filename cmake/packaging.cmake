# Debian packages of an install, one per part (`cpack -G DEB` in the build of the preset
# "release"; scripts/ci-packages.sh shows the whole way):
#   libcarvalen1      the shared library
#   libcarvalen-dev   headers, CMake package, pkg-config
#   carvalen          the tool and service, systemd unit, man page, bash completion
#   python3-carvalen  the Python package, finding the library through the loader's cache
# Binaries are stripped; their debug information goes to a -dbgsym package beside each.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME carvalen)
set(CPACK_PACKAGE_VENDOR "Carvalen")
set(CPACK_PACKAGE_CONTACT "Carvalen developers <developers@carvalen.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reads purchase contracts and prices them")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_COMPONENTS_ALL library dev tool)
if(CARVALEN_INSTALL_PYTHONDIR)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://carvalen.invalid/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(carvalen_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
# The PostgreSQL provider opens libpq when it first connects; SQLite alone needs nothing more.
set(carvalen_postgres_note "libpq5")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libcarvalen1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_RECOMMENDS ${carvalen_postgres_note})
# A shlibs file, so packages built against the library depend on it. The loader's cache is
# refreshed by dpkg's ldconfig trigger; the postinst and postrm given here only keep CPack from
# writing its own, which would call ldconfig directly.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/library/triggers
    ${PROJECT_SOURCE_DIR}/packaging/deb/library/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/library/postrm)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "Carvalen contract library\n Reads purchase contracts, their lines, price and discount breaks and\n prices them, on SQLite or PostgreSQL; a C++ API and a C interface.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcarvalen-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcarvalen1 (= ${carvalen_deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Carvalen contract library: development files\n Headers, the CMake package carvalen::carvalen and the pkg-config file\n for C++ and C programs.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME carvalen)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS ${carvalen_postgres_note})
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "Carvalen contract pricing: command-line tool and HTTP service\n `carvalen call` runs any operation of the library by name; `carvalen serve`\n serves them over HTTP (systemd unit carvalen.service, configuration in\n /etc/carvalen).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-carvalen)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.9), libcarvalen1 (= ${carvalen_deb_version})")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "Carvalen contract library: Python package\n The operations of the library as Python calls, with the library's own\n values (Empty, Nothing, dates, currency).")

# What each package carries in /usr/share/doc/<package> as Debian packages do: the copyright file
# (pointing at the system's copy of the licence), the Debian changelog, compressed, and the
# reasons for the lintian tags left (only in the system's prefix, where the packages install).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(carvalen_changelog ${PROJECT_BINARY_DIR}/debian-changelog)
  file(WRITE ${carvalen_changelog}
       "carvalen (${carvalen_deb_version}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}; see /usr/share/doc/carvalen/changelog.gz (package\n"
       "    carvalen) for what it brought.\n\n"
       " -- ${CPACK_PACKAGE_CONTACT}  Wed, 09 Dec 2026 00:00:00 +0000\n")
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
                     COMMAND gzip -9nc ${carvalen_changelog} > changelog.Debian.gz
                     DEPENDS ${carvalen_changelog} WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/CHANGELOG.md > changelog.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
                     WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  add_custom_target(carvalen_changelogs ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian.gz
                                                    ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT tool)
  foreach(part ${CPACK_COMPONENTS_ALL})
    string(TOUPPER ${part} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/copyright
                  ${PROJECT_BINARY_DIR}/changelog.Debian.gz
            COMPONENT ${part} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package})
    if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/deb/lintian/${package})
      install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/lintian/${package} COMPONENT ${part}
              DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
    endif()
  endforeach()
endif()

include(CPack)
