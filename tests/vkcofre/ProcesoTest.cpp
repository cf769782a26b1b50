// The whole program as the application sees it: arguments, stdin, one reply line on stdout,
// nothing on stderr, the exit status. Runs the test build over the keychain double, whose
// state lives in a file between runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "LlaveroDoble.h"
#include "Proceso.h"
#include "Vault.h"

namespace {

using nlohmann::json;

// Starts the test build with the given descriptors as 0, 1 and 2 (-1: left closed), as a parent
// may really connect them; returns the pid.
pid_t lanzar(const std::vector<std::string>& args, int entrada, int salida, int errores) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fds[3] = {entrada, salida, errores};
        for (int i = 0; i < 3; ++i) {
            if (fds[i] < 0)
                close(i);
            else
                dup2(fds[i], i);
        }
        std::vector<char*> argv{const_cast<char*>(VKCOFRE_DOBLE_BIN)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VKCOFRE_DOBLE_BIN, argv.data());
        _exit(127);
    }
    return pid;
}

int esperarEstado(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string leerTodo(int fd) {
    std::string r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        r.append(buf, static_cast<size_t>(n));
    return r;
}

void pausa() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

class Programa : public ::testing::Test {
  protected:
    void SetUp() override {
        char plantilla[] = "/tmp/vkcofre-prueba-XXXXXX";
        ASSERT_NE(mkdtemp(plantilla), nullptr);
        dir_ = plantilla;
        estado_ = dir_ / "llavero.json";
        setenv("VKCOFRE_DOBLE", estado_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VKCOFRE_DOBLE");
        std::filesystem::remove_all(dir_);
    }
    void escribir(const json& j) { std::ofstream(estado_) << j.dump(); }
    json leido() {
        std::ifstream f(estado_);
        return json::parse(f);
    }
    Salida vkcofre(const std::vector<std::string>& args, const std::string& entrada = {}) {
        Salida s = ejecutar(VKCOFRE_DOBLE_BIN, args, entrada);
        EXPECT_EQ(s.err, "") << "the vault writes nothing to stderr";
        EXPECT_EQ(s.out.find('\n'), s.out.size() - 1) << "exactly one line: " << s.out;
        return s;
    }

    std::filesystem::path dir_, estado_;
};

TEST_F(Programa, SinArgumentosDaLaRespuestaDeUsoYEstado1) {
    const Salida s = vkcofre({});
    EXPECT_EQ(s.out,
              "{\"error\":\"uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | "
              "leer-secreto | borrar\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 1);
}

TEST_F(Programa, GuardarLeerYBorrarEntreProcesos) {
    const std::string clave = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    Salida s = vkcofre({"guardar"}, clave + "\r\nresto que no se lee\n");
    EXPECT_EQ(s.out, "{\"ok\":true}\n");
    EXPECT_EQ(s.estado, 0);
    const json guardado = leido();
    ASSERT_EQ(guardado["items"].size(), 1U);
    EXPECT_EQ(guardado["items"][0]["etiqueta"], "Veskora · clave de cifrado");

    s = vkcofre({"leer", "ignorado"});
    EXPECT_EQ(s.out, "{\"clave\":\"" + clave + "\",\"ok\":true}\n");
    EXPECT_EQ(s.estado, 0);

    s = vkcofre({"estado"});
    EXPECT_EQ(json::parse(s.out), json::parse(R"({"ok":true,"biometria":true,"motivo":null,"llavero":true,
        "motivoLlavero":null,"guardada":true,"secreto":false})"));

    EXPECT_EQ(vkcofre({"borrar"}).out, "{\"ok\":true}\n");
    s = vkcofre({"leer"});
    EXPECT_EQ(s.out, "{\"error\":\"no hay clave guardada en el llavero\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 2);
}

TEST_F(Programa, AvisoCanceladoDa3) {
    escribir({{"items", {{{"cuenta", "secreto"}, {"datos", "c2VjcmV0bw=="}}}}, {"presencia", "cancela"}});
    const Salida s = vkcofre({"leer-secreto"});
    EXPECT_EQ(s.out, "{\"error\":\"Desbloqueo cancelado o fallido\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 3);
}

TEST_F(Programa, UnVaultDelEquipoLlamadoDesdeUnaTerminalNoLee) {
    escribir({{"items",
               {{{"cuenta", "clave-maestra"}, {"datos", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="}}}},
              {"propio", {{"firma", "conEquipo"}, {"equipo", "EQUIPO1234"}, {"identificador", "x"}}}});
    const Salida s = vkcofre({"leer"});
    EXPECT_EQ(s.out, "{\"error\":\"solo la app puede pedir la clave\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 1);
    const json despues = leido();
    ASSERT_FALSE(despues["llamadas"].empty());
    for (const auto& l : despues["llamadas"])
        EXPECT_FALSE(l.get<std::string>().starts_with("SecItem")) << l;
}

TEST_F(Programa, GuardarConArgumentoNoGuarda) {
    const Salida s = vkcofre({"guardar-secreto", "QQ=="}, "QQ==\n");
    EXPECT_EQ(s.out, "{\"error\":\"la clave se entrega por stdin, no como argumento\",\"ok\":false}\n");
    EXPECT_EQ(s.estado, 1);
    EXPECT_FALSE(std::filesystem::exists(estado_)) << "the keychain was never opened";
}

TEST_F(Programa, EntradaNoBloqueanteLlegaEnTrozosYSeTomaEntera) {
    // The line in pieces with pauses between them, on a non-blocking pipe and socket: an empty
    // input is not an ended one.
    for (const bool socket : {false, true}) {
        std::filesystem::remove(estado_);
        int par[2];
        if (socket)
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, par), 0);
        else
            ASSERT_EQ(pipe2(par, O_CLOEXEC), 0);
        const int lectura = par[0];
        const int escritura = par[1];
        ASSERT_EQ(fcntl(lectura, F_SETFL, fcntl(lectura, F_GETFL) | O_NONBLOCK), 0);
        int out[2], err[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
        // The first piece is there before the vault starts, the rest comes later.
        ASSERT_EQ(write(escritura, "QUJD", 4), 4);
        const pid_t pid = lanzar({"guardar-secreto"}, lectura, out[1], err[1]);
        close(lectura);
        close(out[1]);
        close(err[1]);
        signal(SIGPIPE, SIG_IGN);  // a vault that stopped reading early must fail the test, not end it
        for (const std::string trozo : {"R", "E", "VG", "\n"}) {
            pausa();
            (void)!write(escritura, trozo.data(), trozo.size());
        }
        const std::string salida = leerTodo(out[0]);
        EXPECT_EQ(leerTodo(err[0]), "");
        close(out[0]);
        close(err[0]);
        close(escritura);
        EXPECT_EQ(esperarEstado(pid), 0) << salida;
        EXPECT_EQ(salida, "{\"ok\":true}\n");
        EXPECT_EQ(leido()["items"][0]["datos"].get<std::string>(), "QUJDREVG")
            << (socket ? "socket" : "pipe");
    }
}

TEST_F(Programa, UnaSalidaCerradaNoRecibeNadaNuestro) {
    // Stdout closed: the backend's first descriptor would take number 1, and the reply with the
    // secret would go into it.
    const auto propio = dir_ / "propio";
    escribir({{"items", {{{"cuenta", "secreto"}, {"datos", "c2VjcmV0bw=="}}}}, {"abre", propio.string()}});
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const int nulo = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = lanzar({"leer-secreto"}, nulo, -1, err[1]);
    close(nulo);
    close(err[1]);
    EXPECT_EQ(leerTodo(err[0]), "");
    close(err[0]);
    EXPECT_EQ(esperarEstado(pid), 0);
    EXPECT_EQ(std::filesystem::file_size(propio), 0U) << "the reply went into a file of ours";
}

TEST_F(Programa, LaRespuestaSeEsperaYSiNoSaleEnteraElEstadoEs1) {
    escribir({{"items", {{{"cuenta", "secreto"}, {"datos", "c2VjcmV0bw=="}}}}});
    // A non-blocking stdout that is full when the reply is ready: the reply waits for room.
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string relleno(4096, 'x');
    std::size_t puestos = 0;
    for (ssize_t n; (n = write(out[1], relleno.data(), relleno.size())) > 0;)
        puestos += static_cast<std::size_t>(n);
    pid_t pid = lanzar({"leer-secreto"}, -1, out[1], -1);
    close(out[1]);
    pausa();
    ASSERT_EQ(fcntl(out[0], F_SETFL, 0), 0);
    const std::string todo = leerTodo(out[0]);
    close(out[0]);
    EXPECT_EQ(esperarEstado(pid), 0);
    EXPECT_EQ(todo.substr(std::min(puestos, todo.size())), "{\"clave\":\"c2VjcmV0bw==\",\"ok\":true}\n");

    // Nobody reads it: the run did not deliver, whatever the command's own status.
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    close(out[0]);
    pid = lanzar({"leer-secreto"}, -1, out[1], -1);
    close(out[1]);
    EXPECT_EQ(esperarEstado(pid), 1);
}

TEST_F(Programa, SinMemoriaEsUnaRespuestaConEstado1) {
    // Before any reply, and inside the state report between its probes.
    for (const auto& [orden, op] : std::vector<std::pair<std::string, std::string>>{
             {"guardar-secreto", "SecItemAdd"}, {"estado", "SecItemCopyMatching"}}) {
        escribir({{"sinMemoriaEn", op}});
        const Salida s = vkcofre({orden}, "QUJD\n");
        EXPECT_EQ(s.out, "{\"error\":\"no hubo memoria suficiente para la orden\",\"ok\":false}\n") << op;
        EXPECT_EQ(s.estado, 1) << op;
    }
}

#ifdef VKCOFRE_BIN
TEST(ProgramaEntregado, LineaDeOrdenesSinTocarElLlavero) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> casos{
        {{},
         "{\"error\":\"uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | "
         "leer-secreto | "
         "borrar\",\"ok\":false}\n"},
        {{"Estado"}, "{\"error\":\"orden desconocida: Estado\",\"ok\":false}\n"},
        {{"guardar", "QQ=="},
         "{\"error\":\"la clave se entrega por stdin, no como argumento\",\"ok\":false}\n"},
        {{"guardar"}, "{\"error\":\"falta la clave en base64 por stdin\",\"ok\":false}\n"},
        {{"guardar-secreto"}, "{\"error\":\"lo que se guarda llega en base64 por stdin\",\"ok\":false}\n"},
    };
    for (const auto& [args, respuesta] : casos) {
        const Salida s =
            ejecutar(VKCOFRE_BIN, args, args.size() == 1 && args[0] == "guardar-secreto" ? "QQ=\n" : "");
        EXPECT_EQ(s.out, respuesta);
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.estado, 1);
    }
}
#endif

TEST(Endurecimiento, ElProcesoSeVuelveNoVolcable) {
    // Runs the entry in this process with stdout sent elsewhere, then asks the kernel.
    const int copia = dup(STDOUT_FILENO);
    FILE* nulo = std::fopen("/dev/null", "w");
    ASSERT_TRUE(nulo);
    dup2(fileno(nulo), STDOUT_FILENO);
    char programa[] = "vkcofre";
    char* argv[] = {programa, nullptr};
    const int codigo = correrBoveda(1, argv, [] { return std::make_unique<LlaveroDoble>(); });
    dup2(copia, STDOUT_FILENO);
    close(copia);
    std::fclose(nulo);
    EXPECT_EQ(codigo, 1);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

}  // namespace
