// An object that allocates, to show that the heap check fails when it should.
#include <cstdlib>

void* heap_probe(unsigned size) {
    return std::malloc(size);
}
