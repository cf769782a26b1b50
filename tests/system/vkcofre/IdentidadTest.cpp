// The caller check on real processes: the test binary plays the application, a forked child
// plays the vault and checks its parent.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "Identidad.h"
#include "Vault.h"

namespace {

std::string esteEjecutable() {
    std::array<char, PATH_MAX> ruta{};
    const ssize_t n = readlink("/proc/self/exe", ruta.data(), ruta.size() - 1);
    return n > 0 ? std::string(ruta.data(), static_cast<size_t>(n)) : std::string();
}

const IdentidadDeLaApp kApp{"ABCDE12345", "com.veskora.desktop", "com.veskora.desktop.beta"};

Requisito requisitoDeLaBoveda() {
    auto r = leerRequisito(Boveda::requisitoDeLaApp(kApp));
    return r ? *r : Requisito{};
}

IdentidadDeCompilacion release(const std::string& rutaDeLaApp) {
    return {kApp.equipo,
            kApp.aplicacion,
            kApp.otraAplicacion,
            {{kApp.aplicacion, rutaDeLaApp}, {kApp.otraAplicacion, "/nonexistent/beta"}}};
}

// Runs `vault` in a child of this process and returns what it returned (an OSStatus folded into
// the exit status: 0 accepted, 1 refused, 2 could not pin).
int enUnHijo(const std::function<int()>& vault) {
    const pid_t hijo = fork();
    if (hijo == 0) _exit(vault());
    int estado = 0;
    waitpid(hijo, &estado, 0);
    return WIFEXITED(estado) ? WEXITSTATUS(estado) : -1;
}

int comprobarPadre(const IdentidadDeCompilacion& identidad, const Requisito& requisito) {
    std::unique_ptr<CodigoLinux> padre;
    if (fijarProceso(getppid(), padre) != errSecSuccess) return 2;
    return comprobarProceso(*padre, requisito, identidad) == errSecSuccess ? 0 : 1;
}

class Identidad : public ::testing::Test {
  protected:
    void SetUp() override {
        struct stat st {};
        ASSERT_EQ(stat(esteEjecutable().c_str(), &st), 0);
        if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || getuid() != 0)
            GTEST_SKIP() << "the stand-in application must be a root-owned file run by root";
    }
};

}  // namespace

TEST(Requisito, ReadsTheTextTheVaultWrites) {
    const auto r = leerRequisito(Boveda::requisitoDeLaApp(kApp));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->equipo, "ABCDE12345");
    EXPECT_EQ(r->identificadores,
              (std::vector<std::string>{"com.veskora.desktop", "com.veskora.desktop.beta"}));
}

TEST(Requisito, RefusesAnyOtherShape) {
    for (const char* texto : {
             "",
             "anchor apple generic",
             "certificate leaf[subject.OU] = \"T\" and (identifier \"a\")",
             "anchor apple generic and certificate leaf[subject.OU] = T and (identifier \"a\")",
             "anchor apple generic and certificate leaf[subject.OU] = \"T\" and (identifier a)",
             "anchor apple generic and certificate leaf[subject.OU] = \"T\" and (identifier \"\")",
             "anchor apple generic and certificate leaf[subject.OU] = \"T\" and (identifier \"a\"",
             "anchor apple generic and certificate leaf[subject.OU] = \"T\" and (identifier \"a\") or true",
             "anchor apple generic and certificate leaf[subject.OU] = \"T\" and (identifier \"a\" and "
             "identifier \"b\")",
         })
        EXPECT_FALSE(leerRequisito(texto)) << texto;
}

TEST_F(Identidad, AcceptsTheParentRunningAnAcceptedExecutable) {
    EXPECT_EQ(enUnHijo([] { return comprobarPadre(release(esteEjecutable()), requisitoDeLaBoveda()); }), 0);
}

TEST_F(Identidad, RefusesAnotherPathTeamOrADeveloperBuild) {
    EXPECT_EQ(enUnHijo([] { return comprobarPadre(release("/usr/bin/env"), requisitoDeLaBoveda()); }), 1);
    EXPECT_EQ(enUnHijo([] {
                  Requisito otroEquipo = requisitoDeLaBoveda();
                  otroEquipo.equipo = "ZZZZZ99999";
                  return comprobarPadre(release(esteEjecutable()), otroEquipo);
              }),
              1);
    EXPECT_EQ(enUnHijo([] {
                  Requisito otraApp{kApp.equipo, {"com.veskora.otra"}};
                  return comprobarPadre(release(esteEjecutable()), otraApp);
              }),
              1);
    EXPECT_EQ(enUnHijo([] { return comprobarPadre(IdentidadDeCompilacion{}, requisitoDeLaBoveda()); }), 1);
}

TEST_F(Identidad, RefusesAParentInAUserNamespaceOfItsOwn) {
    // Any user may map itself to root in a user namespace of its own, and bind a file of its own
    // over the accepted path there: the file then reads as root's, and the uids match. Here the
    // stand-in application maps root to root and is its own file, so everything else holds.
    const int visto = enUnHijo([] {
        if (unshare(CLONE_NEWUSER) != 0) return 3;
        std::ofstream mapa("/proc/self/uid_map");
        mapa << "0 0 1\n";
        mapa.close();
        if (!mapa) return 3;
        return enUnHijo([] { return comprobarPadre(release(esteEjecutable()), requisitoDeLaBoveda()); });
    });
    if (visto == 3) GTEST_SKIP() << "no user namespaces on this machine";
    EXPECT_EQ(visto, 1);
}

TEST_F(Identidad, RefusesAProcessThatIsNotTheParent) {
    // A sibling runs the very same accepted executable, as the same user: still not who started us.
    const pid_t hermano = fork();
    if (hermano == 0) {
        pause();
        _exit(0);
    }
    EXPECT_EQ(enUnHijo([&] {
                  std::unique_ptr<CodigoLinux> otro;
                  if (fijarProceso(hermano, otro) != errSecSuccess) return 2;
                  return comprobarProceso(*otro, requisitoDeLaBoveda(), release(esteEjecutable())) ==
                                 errSecSuccess
                             ? 0
                             : 1;
              }),
              1);
    kill(hermano, SIGKILL);
    waitpid(hermano, nullptr, 0);
}

TEST_F(Identidad, RefusesAParentThatEndedAfterThePin) {
    // test -> intermediate (the "application") -> vault. The vault pins its parent, the parent
    // ends, and only then does the vault run the check. The orphaned vault answers through a pipe.
    int fijado[2];
    int respuesta[2];
    ASSERT_EQ(pipe(fijado), 0);
    ASSERT_EQ(pipe(respuesta), 0);
    const int intermedio = enUnHijo([&] {
        if (fork() == 0) {
            std::unique_ptr<CodigoLinux> padre;
            const pid_t pid = getppid();
            char r = fijarProceso(pid, padre) == errSecSuccess ? 'f' : 'x';
            if (write(fijado[1], &r, 1) != 1) _exit(2);
            while (getppid() == pid)
                usleep(1000);
            r = comprobarProceso(*padre, requisitoDeLaBoveda(), release(esteEjecutable())) == errSecSuccess
                    ? 'a'
                    : 'r';
            _exit(write(respuesta[1], &r, 1) == 1 ? 0 : 2);
        }
        char r = 0;
        return read(fijado[0], &r, 1) == 1 && r == 'f' ? 0 : 2;  // pinned: now the application ends
    });
    EXPECT_EQ(intermedio, 0);
    close(fijado[0]);
    close(fijado[1]);
    close(respuesta[1]);
    char r = 0;
    EXPECT_EQ(read(respuesta[0], &r, 1), 1);
    EXPECT_EQ(r, 'r');
    close(respuesta[0]);
}
