#pragma once

// The whole run of vkoido: start, main loop, orderly stop. Returns after the final line;
// every fatal condition ends the process through fail().
void runTap(int argc, char** argv);
