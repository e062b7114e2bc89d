#include <cstdio>

int main() {
    std::puts("Ambrel 2.8");
    return 0;
}
