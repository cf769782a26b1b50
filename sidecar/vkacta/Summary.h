#pragma once

// The whole digest flow; returns the exit status.
int run();
