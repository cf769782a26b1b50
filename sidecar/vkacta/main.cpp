#include "Summary.h"

int main() {
    return run();
}
