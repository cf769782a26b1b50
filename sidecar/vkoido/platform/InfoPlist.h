#pragma once
// The information property list embedded in the vkoido executable (its own ELF section,
// ".vkoido_info_plist", an XML plist). The backend shows the name and the identifier to the
// sound server as the client's application name and id.
#include <string_view>

std::string_view infoPlistXML();            // the whole plist as embedded
std::string_view infoCFBundleName();        // "Veskora Audio Tap"
std::string_view infoCFBundleIdentifier();  // the application's prefix + ".vkoido"
std::string_view infoNSAudioCaptureUsageDescription();
