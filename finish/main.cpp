#include <new>
#include <string>
#include <vector>

#include "modes/entry.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    try {
        finish::run(std::move(args));
    } catch (const std::bad_alloc&) {
        finish::fail("not enough memory for renders of this size");
    }
}
