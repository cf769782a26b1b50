#include <gtest/gtest.h>

#include "Proceso.h"

TEST(LineaDeOrdenes, SinArgumentosDaElUsoYEstado1) {
    const Salida s = ejecutar(VKOIDO_BIN, {});
    EXPECT_EQ(s.err, "vkoido: uso: vkoido <salida.wav> [--seconds N]\n");
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.estado, 1);
}
