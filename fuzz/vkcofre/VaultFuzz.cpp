// The vault's command line and standard input against the keychain double.
// Input layout: byte 0 picks the double's behaviour, byte 1 the number of arguments (0-3),
// then the arguments each ended by a zero byte, then standard input.
// Must hold: no crash, exactly one JSON line with a Boolean "ok", statuses 0-3 only.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LlaveroDoble.h"
#include "Vault.h"

namespace {

[[noreturn]] void falla(const char* que) {
    (void)write(STDERR_FILENO, que, std::char_traits<char>::length(que));
    std::abort();
}

void prepararDoble(LlaveroDoble& d, std::uint8_t modo) {
    d.presencia = static_cast<Presencia>(modo % 3);
    d.propio.firma = static_cast<Firma>((modo >> 2) % 4);
    d.procesos[d.padre] = {static_cast<Firma>((modo >> 4) % 4), "EQUIPO1234", "com.veskora.desktop"};
    d.controlDeAccesoFalla = (modo & 0x40U) != 0;
    if ((modo & 0x80U) != 0) {
        // A keychain that answers odd statuses for a while.
        const OSStatus estados[] = {0, -25300, -25293, -128, -34018, -25308, -25291, 5};
        for (const char* op : {"SecItemAdd", "SecItemCopyMatching", "SecItemDelete"})
            for (int i = 0; i < 3; ++i)
                d.guion[op].emplace_back(estados[(modo + i * 3) % 8]);
    }
    d.poner("clave-maestra", std::string(32, 'k'));
    if ((modo & 0x08U) != 0) d.poner("secreto", "s");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
    if (largo < 2) return 0;
    LlaveroDoble doble;
    prepararDoble(doble, datos[0]);
    const std::size_t cuantos = datos[1] % 4U;
    std::vector<std::string> args{"vkcofre"};
    std::size_t i = 2;
    while (args.size() <= cuantos && i < largo) {
        std::string a;
        while (i < largo && datos[i] != 0)
            a += static_cast<char>(datos[i++]);
        ++i;
        args.push_back(a);
    }
    const int in = memfd_create("fuzz-in", 0);
    const int out = memfd_create("fuzz-out", 0);
    if (in < 0 || out < 0) falla("memfd_create\n");
    if (i < largo && write(in, datos + i, largo - i) != static_cast<ssize_t>(largo - i)) falla("write\n");
    lseek(in, 0, SEEK_SET);

    int estado = -1;
    {
        Boveda boveda(doble, in, out);
        estado = boveda.ejecutar(args);
    }
    std::string salida;
    lseek(out, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(out, buf, sizeof buf)) > 0)
        salida.append(buf, static_cast<std::size_t>(n));
    close(in);
    close(out);

    if (estado < 0 || estado > 3) falla("status out of range\n");
    if (salida.empty() || salida.find('\n') != salida.size() - 1) falla("not exactly one line\n");
    const auto j = nlohmann::json::parse(salida, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("ok") || !j["ok"].is_boolean())
        falla("not a reply\n");
    if (j["ok"].get<bool>() != (estado == 0)) falla("ok does not match the status\n");
    if (!j["ok"].get<bool>() && (j.size() != 2 || !j["error"].is_string())) falla("bad error reply\n");
    return 0;
}
