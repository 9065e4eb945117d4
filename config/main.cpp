// config: not built yet. It refuses to run rather than pretend to work.
#include <cstdio>

int main()
{
    std::fprintf(stderr, "config: not implemented yet\n");
    return 1;
}
