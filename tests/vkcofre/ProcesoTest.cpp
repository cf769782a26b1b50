#include <gtest/gtest.h>

#include "Proceso.h"

TEST(LineaDeOrdenes, SinArgumentosDaLaRespuestaDeUsoYEstado1) {
    const Salida s = ejecutar(VKCOFRE_BIN, {});
    EXPECT_EQ(s.out,
              "{\"error\":\"uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | "
              "leer-secreto | borrar\",\"ok\":false}\n");
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(s.estado, 1);
}
