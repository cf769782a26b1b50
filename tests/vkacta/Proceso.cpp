#include "Proceso.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vkacta::prueba {

Salida enHijo(const std::function<void()>& cuerpo, const std::optional<std::string>& entrada) {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return {};
    ::signal(SIGPIPE, SIG_IGN);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        cuerpo();
        ::_exit(99);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    std::thread escritor;
    if (entrada) {
        escritor = std::thread([fd = in[1], datos = *entrada] {
            std::size_t hecho = 0;
            while (hecho < datos.size()) {
                ssize_t n = ::write(fd, datos.data() + hecho, datos.size() - hecho);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;  // the child stopped reading
                hecho += static_cast<std::size_t>(n);
            }
            ::close(fd);
        });
    }

    Salida s;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int abiertos = 2;
    auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool muerto = false;
    while (abiertos > 0) {
        if (std::chrono::steady_clock::now() > limite) {
            ::kill(pid, SIGKILL);
            muerto = true;
            break;
        }
        if (::poll(fds, 2, 200) < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buf[4096];
            ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k == 0 ? s.out : s.err).append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[k].fd);
                fds[k].fd = -1;
                --abiertos;
            }
        }
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    if (!entrada) ::close(in[1]);
    if (escritor.joinable()) escritor.join();
    for (auto& f : fds) {
        if (f.fd >= 0) ::close(f.fd);
    }
    if (muerto) {
        s.estado = -2;
    } else if (WIFEXITED(st)) {
        s.estado = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        s.estado = 128 + WTERMSIG(st);
    }
    return s;
}

}  // namespace vkacta::prueba
