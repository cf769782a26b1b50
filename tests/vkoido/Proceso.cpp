#include "Proceso.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

Resultado ejecutar(const std::string& programa, const std::vector<std::string>& args,
                   const std::string& entrada, const std::vector<std::string>& entorno,
                   const std::function<void(pid_t)>& mientras) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(programa.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : entorno)
            putenv(const_cast<char*>(e.c_str()));
        execv(programa.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    (void)!write(in[1], entrada.data(), entrada.size());
    close(in[1]);
    std::thread paralelo;
    if (mientras) paralelo = std::thread([&] { mientras(pid); });
    Resultado r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int abiertos = 2;
    char buf[4096];
    while (abiertos > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --abiertos;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    // Joined before the wait: the pid cannot be reused while `mientras` may still signal it.
    if (paralelo.joinable()) paralelo.join();
    int st = 0;
    waitpid(pid, &st, 0);
    r.estado = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}
