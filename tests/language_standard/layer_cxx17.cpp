// The C++ layer included by a C++17 caller: compiling must stop with the
// layer's own message.
#include "vexsrv/vexsrv.h"

int main() {
    return 0;
}
