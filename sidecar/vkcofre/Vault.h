#pragma once

// One command per run; every failure ends the process through salir().
void runVault(int argc, char** argv);
