#include "Corrida.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

#include "Vault.h"

namespace {

struct Memoria {
    int fd;
    explicit Memoria(const std::string& contenido) : fd(memfd_create("vkcofre-prueba", 0)) {
        if (fd < 0) throw std::runtime_error("memfd_create");
        if (!contenido.empty() &&
            ::write(fd, contenido.data(), contenido.size()) != static_cast<ssize_t>(contenido.size()))
            throw std::runtime_error("write");
        lseek(fd, 0, SEEK_SET);
    }
    ~Memoria() { close(fd); }
    std::string todo() const {
        std::string r;
        char buf[4096];
        lseek(fd, 0, SEEK_SET);
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            r.append(buf, static_cast<size_t>(n));
        return r;
    }
};

}  // namespace

nlohmann::json Corrida::respuesta() const {
    EXPECT_FALSE(salida.empty());
    EXPECT_EQ(salida.find('\n'), salida.size() - 1) << salida;
    return nlohmann::json::parse(salida);
}

Corrida correr(LlaveroDoble& doble, const std::vector<std::string>& argumentos, const std::string& entrada) {
    Memoria in(entrada), out("");
    std::vector<std::string> args{"vkcofre"};
    args.insert(args.end(), argumentos.begin(), argumentos.end());
    Boveda boveda(doble, in.fd, out.fd);
    Corrida c;
    c.estado = boveda.ejecutar(args);
    c.leidos = lseek(in.fd, 0, SEEK_CUR);
    c.salida = out.todo();
    return c;
}

std::string base64De(const std::string& bytes) {
    const BytesSeguros b(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return textoDe(aBase64(b));
}

std::string bytesDe(const std::string& base64) {
    auto b = desdeBase64(reinterpret_cast<const unsigned char*>(base64.data()), base64.size());
    if (!b) throw std::runtime_error("not base64: " + base64);
    return textoDe(*b);
}
