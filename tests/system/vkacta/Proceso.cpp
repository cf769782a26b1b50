#include "Proceso.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace vkacta::prueba {

Salida ejecutar(const std::string& programa, const std::string& entrada, bool cerrarEntrada,
                std::chrono::milliseconds limite) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execl(programa.c_str(), programa.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t escrito = 0;
    int fdIn = in[1];
    fcntl(fdIn, F_SETFL, O_NONBLOCK);
    if (entrada.empty() && cerrarEntrada) {
        close(fdIn);
        fdIn = -1;
    }
    Salida s;
    bool abiertoOut = true, abiertoErr = true;
    const auto fin = std::chrono::steady_clock::now() + limite;
    while (abiertoOut || abiertoErr) {
        const auto resta =
            std::chrono::duration_cast<std::chrono::milliseconds>(fin - std::chrono::steady_clock::now())
                .count();
        if (resta <= 0) {
            s.vencido = true;
            break;
        }
        std::vector<pollfd> fds = {{abiertoOut ? out[0] : -1, POLLIN, 0},
                                   {abiertoErr ? err[0] : -1, POLLIN, 0}};
        if (fdIn >= 0 && escrito < entrada.size()) fds.push_back({fdIn, POLLOUT, 0});
        if (poll(fds.data(), fds.size(), static_cast<int>(resta)) < 0) continue;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if ((fds[static_cast<size_t>(i)].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = read(fds[static_cast<size_t>(i)].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? s.out : s.err).append(buf, static_cast<size_t>(n));
            } else {
                (i == 0 ? abiertoOut : abiertoErr) = false;
            }
        }
        if (fds.size() > 2 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = write(fdIn, entrada.data() + escrito, entrada.size() - escrito);
            if (n > 0) escrito += static_cast<size_t>(n);
            if (n < 0 || escrito == entrada.size()) {
                if (cerrarEntrada || n < 0) {
                    close(fdIn);
                    fdIn = -1;
                }
            }
        }
    }
    if (s.vencido) kill(pid, SIGKILL);
    if (fdIn >= 0) close(fdIn);
    close(out[0]);
    close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    s.estado = (!s.vencido && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return s;
}

}  // namespace vkacta::prueba
