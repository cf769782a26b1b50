// Stands in for the application in the caller-check tests: starts the given program as its own
// child, with the same standard streams, and ends with its exit status.
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) return 125;
    const pid_t hijo = fork();
    if (hijo < 0) return 125;
    if (hijo == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int estado = 0;
    while (waitpid(hijo, &estado, 0) < 0) {
    }
    return WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado);
}
