// Tarnhold: not built yet. It refuses to run rather than pretend to work.
#include <cstdio>

int main()
{
    std::fprintf(stderr, "Tarnhold: not implemented yet\n");
    return 1;
}
