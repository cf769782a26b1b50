#include "InfoPlist.h"

#include <cstddef>

#ifndef VK_PREFIJO
#define VK_PREFIJO "com.veskora"
#endif

namespace {

#define VK_PLIST_NOMBRE "Veskora Audio Tap"
#define VK_PLIST_ID VK_PREFIJO ".vkoido"
#define VK_PLIST_USO "Para transcribir lo que dicen los demás en la llamada. Todo se procesa en esta Mac."

constexpr char kTexto[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>CFBundleIdentifier</key>\n"
    "\t<string>" VK_PLIST_ID
    "</string>\n"
    "\t<key>CFBundleName</key>\n"
    "\t<string>" VK_PLIST_NOMBRE
    "</string>\n"
    "\t<key>NSAudioCaptureUsageDescription</key>\n"
    "\t<string>" VK_PLIST_USO
    "</string>\n"
    "</dict>\n"
    "</plist>\n";

// The bytes of the document without the terminating NUL, so the section is the file.
struct Documento {
    char c[sizeof kTexto - 1];
};
constexpr Documento sinNulo() {
    Documento d{};
    for (std::size_t i = 0; i < sizeof d.c; ++i)
        d.c[i] = kTexto[i];
    return d;
}

// Its own section, so the plist can be read from the executable without running it.
[[gnu::used, gnu::section(".vkoido_info_plist")]] const Documento plist = sinNulo();

}  // namespace

std::string_view infoPlistXML() {
    return {plist.c, sizeof plist.c};
}
std::string_view infoCFBundleName() {
    return VK_PLIST_NOMBRE;
}
std::string_view infoCFBundleIdentifier() {
    return VK_PLIST_ID;
}
std::string_view infoNSAudioCaptureUsageDescription() {
    return VK_PLIST_USO;
}
