#include <cstdio>

int main() {
    std::fputs("zorv-helper: the command line is not available yet\n", stderr);
    return 1;
}
