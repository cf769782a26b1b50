# The Debian package of the three programs (CPack's DEB generator; bash scripts/package.sh).
# Its name, version and description come from here and from project(); its dependencies are
# computed from the binaries by dpkg-shlibdeps.

# Directories as a distribution makes them, whatever the umask of whoever builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(VK_PAQUETE_MANTENEDOR "Veskora <paquetes@veskora.com>" CACHE STRING
    "maintainer of the Debian package (Name <address>)")

# A build without the vault's application identity is the developer build: the caller check is
# off, so it must never be mistaken for the package that ships.
if(VKCOFRE_EQUIPO)
  set(VK_PAQUETE_NOMBRE veskora-sidecars)
  set(VK_PAQUETE_OTRO veskora-sidecars-developer-build)
  set(VK_PAQUETE_RESUMEN "helper programs of the Veskora meeting application")
  set(VK_PAQUETE_LLAMADOR
      "vkcofre hands a stored secret only to the application (team ${VKCOFRE_EQUIPO}),\nrun from one of:\n ${VKCOFRE_RUTA_APP_1}\n ${VKCOFRE_RUTA_APP_2}")
else()
  set(VK_PAQUETE_NOMBRE veskora-sidecars-developer-build)
  set(VK_PAQUETE_OTRO veskora-sidecars)
  set(VK_PAQUETE_RESUMEN "helper programs of the Veskora meeting application (developer build)")
  set(VK_PAQUETE_LLAMADOR
      "This is a developer build, made without the identity of the application: the\ncaller check of vkcofre is off, and any program of the user that starts it can\nask it for a stored secret. Do not ship it.")
endif()

set(VK_DIR_DOC share/doc/${VK_PAQUETE_NOMBRE})
set(VK_PAQUETE_ARCHIVOS ${PROJECT_BINARY_DIR}/paquete)

# Text files of the package.
configure_file(${CMAKE_CURRENT_LIST_DIR}/paquete/descripcion.txt.in ${VK_PAQUETE_ARCHIVOS}/descripcion.txt @ONLY)
# The copyright file carries the notices of what the binaries include, read from where those
# libraries are installed on the build machine.
if(EXISTS ${VK_LLAMA_PREFIX}/share/llama/LICENSE)
  file(READ ${VK_LLAMA_PREFIX}/share/llama/LICENSE VK_LICENCIA_LLAMA)
else()
  message(WARNING "no llama.cpp LICENSE in ${VK_LLAMA_PREFIX}/share/llama: the package's copyright file lacks it")
endif()
file(READ /usr/share/doc/libsodium23/copyright VK_LICENCIA_SODIUM)
file(READ /usr/share/doc/nlohmann-json3-dev/copyright VK_LICENCIA_JSON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/paquete/copyright.in ${VK_PAQUETE_ARCHIVOS}/copyright @ONLY)

# The entry's date follows SOURCE_DATE_EPOCH when set (scripts/package.sh sets the last commit's).
string(TIMESTAMP VK_PAQUETE_FECHA "%a, %d %b %Y %H:%M:%S +0000" UTC)
# Debian wants the changelog compressed with gzip -9n (no name, no time stamp inside).
configure_file(${CMAKE_CURRENT_LIST_DIR}/paquete/changelog.in ${VK_PAQUETE_ARCHIVOS}/changelog @ONLY)
find_program(VK_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${VK_PAQUETE_ARCHIVOS}/changelog.gz
                   COMMAND ${VK_GZIP} -9nc ${VK_PAQUETE_ARCHIVOS}/changelog > ${VK_PAQUETE_ARCHIVOS}/changelog.gz
                   DEPENDS ${VK_PAQUETE_ARCHIVOS}/changelog VERBATIM)
add_custom_target(vk_paquete_textos ALL DEPENDS ${VK_PAQUETE_ARCHIVOS}/changelog.gz)

install(FILES ${VK_PAQUETE_ARCHIVOS}/copyright ${VK_PAQUETE_ARCHIVOS}/changelog.gz DESTINATION ${VK_DIR_DOC})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VK_DIR_DOC})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${VK_DIR_DOC} FILES_MATCHING PATTERN "*.md")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VK_PAQUETE_NOMBRE})
set(CPACK_PACKAGE_VENDOR Veskora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VK_PAQUETE_MANTENEDOR})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${VK_PAQUETE_RESUMEN})
set(CPACK_PACKAGE_DESCRIPTION_FILE ${VK_PAQUETE_ARCHIVOS}/descripcion.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_OUTPUT_FILE_PREFIX "")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VK_PAQUETE_MANTENEDOR})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Both builds install the same files.
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${VK_PAQUETE_OTRO})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${VK_PAQUETE_OTRO})
include(CPack)
