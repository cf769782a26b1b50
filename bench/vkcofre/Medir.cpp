// Times vkcofre's commands against the desktop's own Secret Service client on the same item.
// Run inside a prepared session (see correr.py): vkcofre_bench <vkcofre> [runs]
// Each run is one process, as the application starts it; the figure is its wall time.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Runs argv with `entrada` on stdin and stdout sent to /dev/null; returns the wall time in ms,
// or a negative number when the run failed.
double correr(const std::vector<std::string>& args, const std::string& entrada) {
    int tubo[2];
    if (pipe(tubo) != 0) return -1;
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_adddup2(&acciones, tubo[0], 0);
    posix_spawn_file_actions_addclose(&acciones, tubo[1]);
    posix_spawn_file_actions_addopen(&acciones, 1, "/dev/null", 1, 0);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const auto inicio = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int e = posix_spawnp(&pid, argv[0], &acciones, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&acciones);
    close(tubo[0]);
    if (e != 0) {
        close(tubo[1]);
        return -1;
    }
    if (!entrada.empty() && write(tubo[1], entrada.data(), entrada.size()) < 0) {
        // a program that does not read its input is timed all the same
    }
    close(tubo[1]);
    int estado = 0;
    waitpid(pid, &estado, 0);
    const auto fin = std::chrono::steady_clock::now();
    if (!WIFEXITED(estado) || WEXITSTATUS(estado) != 0) return -1;
    return std::chrono::duration<double, std::milli>(fin - inicio).count();
}

struct Orden {
    const char* nombre;
    std::vector<std::string> args;
    std::string entrada;
    std::vector<double> tiempos;
};

double mediana(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

double p90(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t[t.size() * 9 / 10];
}

// One run of every command per round, so that whatever else loads the machine weighs on all of
// them alike; a command is never timed in a block of its own.
bool medir(std::vector<Orden>& ordenes, int veces) {
    for (int i = 0; i < veces; ++i) {
        for (Orden& o : ordenes) {
            const double t = correr(o.args, o.entrada);
            if (t < 0) {
                std::printf("%-22s falló\n", o.nombre);
                return false;
            }
            o.tiempos.push_back(t);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "uso: vkcofre_bench <vkcofre> [runs]\n");
        return 2;
    }
    const std::string vk = argv[1];
    const int veces = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    const std::string clave = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=\n";

    std::vector<Orden> ordenes = {
        {"vkcofre guardar", {vk, "guardar"}, clave, {}},
        {"vkcofre estado", {vk, "estado"}, "", {}},
        {"vkcofre leer", {vk, "leer"}, "", {}},
        {"secret-tool lookup",
         {"secret-tool", "lookup", "service", "com.veskora.desktop.vault", "account", "clave-maestra"},
         "",
         {}},
        // What storing costs any client of the service (the keyring writes its file on every change).
        {"secret-tool store",
         {"secret-tool", "store", "--label=bench", "service", "com.veskora.desktop.vault", "account",
          "bench"},
         clave,
         {}},
    };
    if (!medir(ordenes, veces)) return 1;
    for (const Orden& o : ordenes)
        std::printf("%-22s mediana %7.2f ms   p90 %7.2f ms   (%d runs)\n", o.nombre, mediana(o.tiempos),
                    p90(o.tiempos), veces);
    const double lookup = mediana(ordenes[3].tiempos);
    const double store = mediana(ordenes[4].tiempos);
    std::printf("leer / lookup %.2f   guardar / store %.2f   estado / lookup %.2f\n",
                mediana(ordenes[2].tiempos) / lookup, mediana(ordenes[0].tiempos) / store,
                mediana(ordenes[1].tiempos) / lookup);
    return 0;
}
