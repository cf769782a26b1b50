#include <poll.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Vault.h"

std::optional<BytesSeguros> desdeBase64(const unsigned char* texto, std::size_t largo) {
    // Every 4 characters give at most 3 bytes.
    BytesSeguros bruto(largo / 4 * 3 + 3);
    std::size_t obtenidos = 0;
    // No characters to ignore and no end pointer: anything left over, white space included,
    // makes the whole text invalid; the original variant insists on the padding.
    if (sodium_base642bin(bruto.data(), bruto.size(), reinterpret_cast<const char*>(texto), largo, nullptr,
                          &obtenidos, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    return BytesSeguros(bruto.data(), obtenidos);
}

BytesSeguros aBase64(const BytesSeguros& datos) {
    const std::size_t conNulo = sodium_base64_ENCODED_LEN(datos.size(), sodium_base64_VARIANT_ORIGINAL);
    BytesSeguros texto(conNulo);
    sodium_bin2base64(reinterpret_cast<char*>(texto.data()), texto.size(), datos.data(), datos.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    return BytesSeguros(texto.data(), conNulo - 1);
}

bool esperar(int fd, short evento) {
    pollfd espera{fd, evento, 0};
    for (;;) {
        const int n = ::poll(&espera, 1, -1);
        if (n < 0 && errno == EINTR) continue;
        // Readiness, a hang-up or an error: the next read or write tells which.
        return n > 0 && (espera.revents & POLLNVAL) == 0;
    }
}

BytesSeguros leerPrimeraLinea(int fd) {
    BytesSeguros linea(64);
    std::size_t largo = 0;
    bool finDeLinea = false;
    while (!finDeLinea) {
        unsigned char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking input (a parent may hand one over) has not ended when it is empty:
            // the rest of the line is still on its way.
            if (!esperar(fd, POLLIN)) break;
            continue;
        }
        if (n <= 0) break;
        if (c == '\n') {
            finDeLinea = true;
            break;
        }
        if (largo == linea.size()) {
            // Grow in locked memory; the old buffer is wiped as it goes.
            BytesSeguros mayor(linea.size() * 2);
            std::copy(linea.data(), linea.data() + largo, mayor.data());
            linea = std::move(mayor);
        }
        linea.data()[largo++] = c;
    }
    if (finDeLinea && largo > 0 && linea.data()[largo - 1] == '\r') --largo;
    return BytesSeguros(linea.data(), largo);
}

std::string cuentaDeSonda() {
    unsigned char u[16];
    randombytes_buf(u, sizeof u);
    u[6] = static_cast<unsigned char>((u[6] & 0x0FU) | 0x40U);  // version 4
    u[8] = static_cast<unsigned char>((u[8] & 0x3FU) | 0x80U);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string cuenta = "sonda-";
    for (std::size_t i = 0; i < sizeof u; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) cuenta += '-';
        cuenta += kHex[u[i] >> 4U];
        cuenta += kHex[u[i] & 0x0FU];
    }
    return cuenta;
}
